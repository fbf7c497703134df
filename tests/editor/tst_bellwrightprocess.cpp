// The Bellwright program as a process on a virtual X display (Xvfb): its title, the single instance,
// a lock that dies with its holder, a malformed configuration file and the restart prompt. The program
// reports the windows and boxes it shows on standard error when BELLWRIGHT_TEST_HOOK=1 (and answers
// the boxes); "close" on its standard input closes the main window as the window's close button would.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString versionText = QStringLiteral("0.10.3.9");
const QByteArray mainWindowLine = "shown QMainSubclassForm title=Bellwright v0.10.3.9";
const QByteArray refusedLine =
    "shown QMessageBox title=Bellwright Startup Failure text=Only one instance of Bellwright can exist!";
const QByteArray restartLine = "shown QMessageBox title=Restart Service text=Restart the 'Cellwarden' Service for "
                               "changes to take effect.";

// A private X server for the test: Xvfb picks a free display and tells it on standard output.
class VirtualDisplay
{
public:
    bool start()
    {
        process.setProgram(QStringLiteral("Xvfb"));
        process.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                              QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                              QStringLiteral("1024x768x24")});
        process.start();
        if (!process.waitForStarted(10000))
            return false;
        QByteArray output;
        while (!output.contains('\n')) {
            if (!process.waitForReadyRead(15000))
                return false;
            output += process.readAllStandardOutput();
        }
        number = output.trimmed();
        return !number.isEmpty();
    }

    ~VirtualDisplay()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }

    QString name() const { return QStringLiteral(":") + QString::fromLatin1(number); }

private:
    QProcess process;
    QByteArray number;
};

class Bellwright
{
public:
    Bellwright(const QString &display, const QString &dataFolder)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("BELLWRIGHT_TEST_HOOK"), QStringLiteral("1"));
        environment.insert(QStringLiteral("NORVALE_COMMON_APPDATA"), dataFolder);
        // Under AddressSanitizer: libxkbcommon-x11 strndup()s keymap names out of X replies that are not
        // NUL-terminated, which strict string checking reports as an overflow inside that library.
        const QString sanitizer = environment.value(QStringLiteral("ASAN_OPTIONS"));
        if (!sanitizer.isEmpty())
            environment.insert(QStringLiteral("ASAN_OPTIONS"), sanitizer + QStringLiteral(":strict_string_checks=0"));
        process.setProcessEnvironment(environment);
        process.setProgram(QStringLiteral(VK_BELLWRIGHT_BIN));
        process.setProcessChannelMode(QProcess::SeparateChannels);
    }

    ~Bellwright()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    bool start()
    {
        process.start();
        return process.waitForStarted(10000);
    }

    bool waitForLine(const QByteArray &line, int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!lines().contains(line)) {
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
                return lines().contains(line);
            process.waitForReadyRead(50);
        }
        return true;
    }

    // Exit status, or -1 when it did not end normally in time.
    int waitForExit(int timeoutMs = 20000)
    {
        if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }

    void send(const QByteArray &command) { process.write(command + '\n'); }
    void kill()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    bool isRunning() const { return process.state() == QProcess::Running; }

    QList<QByteArray> lines()
    {
        errors += process.readAllStandardError();
        QList<QByteArray> hooked;
        for (const QByteArray &line : errors.split('\n')) {
            if (line.startsWith("bellwright-test: "))
                hooked.append(line.mid(17));
        }
        return hooked;
    }

    QByteArray standardError()
    {
        errors += process.readAllStandardError();
        return errors;
    }

private:
    QProcess process;
    QByteArray errors;
};

} // namespace

class TestBellwrightProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty(),
                 "Xvfb is missing: run scripts/install-deps.sh");
        display = std::make_unique<VirtualDisplay>();
        QVERIFY(display->start());
    }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
    }

    void titleAndRestartPrompt()
    {
        Bellwright editor(display->name(), dir->path());
        QVERIFY(editor.start());
        QVERIFY2(editor.waitForLine(mainWindowLine), editor.standardError().constData());
        // The first read made the default file where the server looks for it.
        QVERIFY(QFile::exists(configurationFile()));
        QVERIFY(!editor.lines().contains(restartLine));

        editor.send("close");
        QCOMPARE(editor.waitForExit(), 0);
        QVERIFY2(editor.lines().contains(restartLine), editor.standardError().constData());
        QCOMPARE(editor.lines().size(), 2);
    }

    void secondInstanceIsRefused()
    {
        Bellwright first(display->name(), dir->path());
        QVERIFY(first.start());
        QVERIFY2(first.waitForLine(mainWindowLine), first.standardError().constData());

        Bellwright second(display->name(), dir->path());
        QVERIFY(second.start());
        QCOMPARE(second.waitForExit(), 1);
        QCOMPARE(second.lines(), QList<QByteArray>{refusedLine});
        QVERIFY(first.isRunning());

        first.send("close");
        QCOMPARE(first.waitForExit(), 0);
    }

    void lockDiesWithAKilledHolder()
    {
        Bellwright killed(display->name(), dir->path());
        QVERIFY(killed.start());
        QVERIFY2(killed.waitForLine(mainWindowLine), killed.standardError().constData());
        killed.kill(); // SIGKILL: nothing is cleaned up by the program itself

        Bellwright next(display->name(), dir->path());
        QVERIFY(next.start());
        QVERIFY2(next.waitForLine(mainWindowLine), next.standardError().constData());
        QVERIFY(!next.lines().contains(refusedLine));
        next.send("close");
        QCOMPARE(next.waitForExit(), 0);

        // And the lock is free again after an ordinary exit.
        Bellwright again(display->name(), dir->path());
        QVERIFY(again.start());
        QVERIFY(again.waitForLine(mainWindowLine));
        again.send("close");
        QCOMPARE(again.waitForExit(), 0);
    }

    void malformedFileIsNamedAndKept()
    {
        const QByteArray malformed = "{\n   \"magic\": \"NVLCELBW\",\n   \"notifications\": [ { \"alias\": 5, },\n";
        QVERIFY(QDir().mkpath(QFileInfo(configurationFile()).absolutePath()));
        QFile file(configurationFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(malformed);
        file.close();

        Bellwright editor(display->name(), dir->path());
        QVERIFY(editor.start());
        QCOMPARE(editor.waitForExit(), 1);
        const QList<QByteArray> shown = editor.lines();
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown.at(0).startsWith("shown QMessageBox title=Bellwright Configuration Error text="),
                 shown.at(0).constData());
        QVERIFY(shown.at(0).contains(configurationFile().toUtf8()));
        QVERIFY(shown.at(0).contains("[json.exception.parse_error.101]"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), malformed);
    }

    void executableCarriesTheVersionOfTheTitle()
    {
        QFile binary(QStringLiteral(VK_BELLWRIGHT_BIN));
        QVERIFY(binary.open(QIODevice::ReadOnly));
        QVERIFY(binary.readAll().contains("Bellwright-version " + versionText.toLatin1() + '\0'));
    }

private:
    QString configurationFile() const { return dir->path() + QStringLiteral("/Norvale/Cellwarden/Bellwright.JSON"); }

    std::unique_ptr<VirtualDisplay> display;
    std::unique_ptr<QTemporaryDir> dir;
};

QTEST_GUILESS_MAIN(TestBellwrightProcess)
#include "tst_bellwrightprocess.moc"
