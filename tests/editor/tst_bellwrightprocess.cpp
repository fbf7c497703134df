// The Bellwright program as a process on a virtual X display (Xvfb): its title, the single instance,
// a lock that dies with its holder, a malformed configuration file and a quiet exit. The program
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

// A private X server for the test: Xvfb picks a free display and tells it on standard output.
class VirtualDisplay
{
public:
    bool start()
    {
        m_process.setProgram(QStringLiteral("Xvfb"));
        m_process.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                              QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                              QStringLiteral("1024x768x24")});
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return false;
        QByteArray output;
        while (!output.contains('\n')) {
            if (!m_process.waitForReadyRead(15000))
                return false;
            output += m_process.readAllStandardOutput();
        }
        m_number = output.trimmed();
        return !m_number.isEmpty();
    }

    ~VirtualDisplay()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    QString name() const { return QStringLiteral(":") + QString::fromLatin1(m_number); }

private:
    QProcess m_process;
    QByteArray m_number;
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
        m_process.setProcessEnvironment(environment);
        m_process.setProgram(QStringLiteral(VK_BELLWRIGHT_BIN));
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
    }

    ~Bellwright()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool start()
    {
        m_process.start();
        return m_process.waitForStarted(10000);
    }

    bool waitForLine(const QByteArray &line, int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!lines().contains(line)) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return lines().contains(line);
            m_process.waitForReadyRead(50);
        }
        return true;
    }

    // Exit status, or -1 when it did not end normally in time.
    int waitForExit(int timeoutMs = 20000)
    {
        if (!m_process.waitForFinished(timeoutMs) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        return m_process.exitCode();
    }

    void send(const QByteArray &command) { m_process.write(command + '\n'); }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool isRunning() const { return m_process.state() == QProcess::Running; }

    QList<QByteArray> lines()
    {
        m_errors += m_process.readAllStandardError();
        QList<QByteArray> hooked;
        for (const QByteArray &line : m_errors.split('\n')) {
            if (line.startsWith("bellwright-test: "))
                hooked.append(line.mid(17));
        }
        return hooked;
    }

    QByteArray standardError()
    {
        m_errors += m_process.readAllStandardError();
        return m_errors;
    }

private:
    QProcess m_process;
    QByteArray m_errors;
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
        m_display = std::make_unique<VirtualDisplay>();
        QVERIFY(m_display->start());
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void titleAndQuietExit()
    {
        Bellwright editor(m_display->name(), m_dir->path());
        QVERIFY(editor.start());
        QVERIFY2(editor.waitForLine(mainWindowLine), editor.standardError().constData());
        // The first read made the default file where the server looks for it.
        QVERIFY(QFile::exists(configurationFile()));

        // Nothing was changed, so nothing is said at the end.
        editor.send("close");
        QCOMPARE(editor.waitForExit(), 0);
        QCOMPARE(editor.lines(), QList<QByteArray>{mainWindowLine});
    }

    void secondInstanceIsRefused()
    {
        Bellwright first(m_display->name(), m_dir->path());
        QVERIFY(first.start());
        QVERIFY2(first.waitForLine(mainWindowLine), first.standardError().constData());

        Bellwright second(m_display->name(), m_dir->path());
        QVERIFY(second.start());
        QCOMPARE(second.waitForExit(), 1);
        QCOMPARE(second.lines(), QList<QByteArray>{refusedLine});
        QVERIFY(first.isRunning());

        first.send("close");
        QCOMPARE(first.waitForExit(), 0);
    }

    void lockDiesWithAKilledHolder()
    {
        Bellwright killed(m_display->name(), m_dir->path());
        QVERIFY(killed.start());
        QVERIFY2(killed.waitForLine(mainWindowLine), killed.standardError().constData());
        killed.kill(); // SIGKILL: nothing is cleaned up by the program itself

        Bellwright next(m_display->name(), m_dir->path());
        QVERIFY(next.start());
        QVERIFY2(next.waitForLine(mainWindowLine), next.standardError().constData());
        QVERIFY(!next.lines().contains(refusedLine));
        next.send("close");
        QCOMPARE(next.waitForExit(), 0);

        // And the lock is free again after an ordinary exit.
        Bellwright again(m_display->name(), m_dir->path());
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

        Bellwright editor(m_display->name(), m_dir->path());
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
    QString configurationFile() const { return m_dir->path() + QStringLiteral("/Norvale/Cellwarden/Bellwright.JSON"); }

    std::unique_ptr<VirtualDisplay> m_display;
    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestBellwrightProcess)
#include "tst_bellwrightprocess.moc"
