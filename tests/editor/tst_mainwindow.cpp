// The main window driven offscreen like a user, against a real configuration file in a temporary folder:
// proposed aliases, list order, what each action writes (and how often), Cancel, the About box, the exit
// prompt, a file that cannot be read and a change that cannot be written.
#include "FileWriteCounter.h"
#include "ModalDriver.h"
#include "QMainSubclassForm.h"
#include "WidgetInput.h"

#include <ConfigurationFile.h>

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <nlohmann/json.hpp>

#include <csignal>
#include <memory>
#include <sys/resource.h>

using namespace NVL::Engineering::VK;

using namespace WidgetInput;

Q_DECLARE_METATYPE(NotificationData)

namespace {

NotificationData notification(const std::string &alias)
{
    NotificationData n;
    n.alias = alias;
    n.notificationType = NotificationKind::Periodic;
    n.periodicType = PeriodicType::Weekly;
    n.time = "06:45:00";
    n.dayOfWeek = 3;
    n.recipientList = {"{00000000-0000-4000-8000-000000000001}"};
    return n;
}

NotificationList notifications(const QStringList &aliases)
{
    NotificationList list;
    for (const QString &alias : aliases)
        list.push_back(notification(alias.toStdString()));
    return list;
}

QStringList aliasesOf(const NotificationList &list)
{
    QStringList aliases;
    for (const NotificationData &n : list)
        aliases << QString::fromStdString(n.alias);
    return aliases;
}

QByteArray fileBytes()
{
    QFile file(ConfigurationFile::filePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Limits the size of any file this process writes, as a full disk would; writes past it fail.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead of ending the process
        getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit limited = m_saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_saved); }

private:
    rlimit m_saved{};
};

const RecipientData alice{"{00000000-0000-4000-8000-00000000000a}", "Alice", "alice@example.test", false};
const RecipientData bob{"{00000000-0000-4000-8000-00000000000b}", "Bob", "bob@example.test", false};

const QString savedTitle = QStringLiteral("Changes Saved");
const QString savedText = QStringLiteral("Your changes are saved. The Voltkeep service applies them within a few "
                                         "seconds, without a restart; its log shows when each report is next due.");

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("NORVALE_COMMON_APPDATA", m_dir->path().toUtf8());
        m_driver = std::make_unique<ModalDriver>();
    }

    void cleanup()
    {
        m_window.reset();
        QVERIFY2(m_driver->unexpectedDialogs.isEmpty(), qPrintable(m_driver->unexpectedDialogs.join(u',')));
        QVERIFY(m_driver->allDialogsHandled());
        m_driver.reset();
        m_dir.reset();
    }

    void proposedAliases_data()
    {
        QTest::addColumn<QStringList>("aliases");
        QTest::addColumn<QString>("expected");
        QTest::newRow("none") << QStringList() << "Notification 1";
        QTest::newRow("gaps are not reused") << QStringList{"Notification 1", "Notification 3", "Weekly report"}
                                             << "Notification 4";
        QTest::newRow("only other names") << QStringList{"Weekly report"} << "Notification 1";
        QTest::newRow("lower case") << QStringList{"notification 5"} << "Notification 1";
        QTest::newRow("trailing blank") << QStringList{"Notification 5 "} << "Notification 1";
        QTest::newRow("letters after the blank") << QStringList{"Notification five", "Notification 5b"}
                                                 << "Notification 1";
        QTest::newRow("leading zeros") << QStringList{"Notification 007", "Notification 3"} << "Notification 8";
        QTest::newRow("too many digits count as 0") << QStringList{"Notification 99999999999", "Notification 2"}
                                                    << "Notification 3";
        QTest::newRow("sorted before numbers") << QStringList{"Notification 10", "Notification 9"}
                                               << "Notification 11";
    }

    void proposedAliases()
    {
        QFETCH(QStringList, aliases);
        QFETCH(QString, expected);
        QVERIFY(ConfigurationFile().setNotifications(notifications(aliases)));
        openWindow();
        QCOMPARE(m_window->nextNotificationName(), expected);

        // The Add dialog offers it.
        QString offered;
        m_driver->expectDialog([&offered](QWidget *dialog) {
            offered = child<QLineEdit>(dialog, "aliasLineEdit")->text();
            click(dialog, "cancleButton");
        });
        click(m_window.get(), "addNotificationButton");
        QTRY_VERIFY(m_driver->allDialogsHandled());
        QCOMPARE(offered, expected);
    }

    void addedNotificationStaysAtTheBottomUntilTheNextLoad()
    {
        QVERIFY(ConfigurationFile().setNotifications(notifications({"Notification 2", "Notification 10", "Weekly"})));
        openWindow();
        QCOMPARE(itemTexts(list()), (QStringList{"Notification 10", "Notification 2", "Weekly"}));

        addNotificationNamed(QStringLiteral("Alpha"));
        QCOMPARE(itemTexts(list()), (QStringList{"Notification 10", "Notification 2", "Weekly", "Alpha"}));
        const NotificationList written = ConfigurationFile().notifications();
        QCOMPARE(aliasesOf(written), (QStringList{"Notification 2", "Notification 10", "Weekly", "Alpha"}));
        // A new notification accepted as offered: daily at midnight, full report, nobody yet.
        const NotificationData &added = written.back();
        QCOMPARE(added.notificationType, NotificationKind::Periodic);
        QCOMPARE(added.periodicType, PeriodicType::Daily);
        QCOMPARE(added.time, std::string("00:00:00"));
        QCOMPARE(added.triggerType, 2);
        QVERIFY(added.recipientList.empty());
        QCOMPARE(written.front(), notification("Notification 2"));

        m_window->loadNotifications();
        QCOMPARE(itemTexts(list()), (QStringList{"Alpha", "Notification 10", "Notification 2", "Weekly"}));
        // Loading writes nothing and keeps the file order.
        QCOMPARE(aliasesOf(ConfigurationFile().notifications()),
                 (QStringList{"Notification 2", "Notification 10", "Weekly", "Alpha"}));
    }

    // Under each alias, what `vkconfig notification list` says of it: schedule, report, recipients, next due.
    void eachNotificationShowsItsDetails_data()
    {
        QTest::addColumn<NotificationData>("record");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("nextDue"); // a pattern: the date depends on today
        NotificationData weekly = notification("Weekly");
        weekly.reportType = ReportKind::SummaryReport;
        weekly.recipientList = {alice.uuid, bob.uuid};
        NotificationData alert = notification("Alert");
        alert.notificationType = NotificationKind::Triggered;
        alert.triggerValue = 1;
        alert.recipientList = {bob.uuid};
        NotificationData unsent = notification("Unsent");
        unsent.recipientList.clear();
        QTest::newRow("periodic") << weekly << "weekly on Wed at 06:45:00, summary report, to Alice, Bob"
                                  << "\\d{4}-\\d\\d-\\d\\d 06:45:00 \\+00:00";
        QTest::newRow("alert") << alert << "alert when a battery falls to Fair, to Bob" << "on every alert";
        QTest::newRow("no recipients") << unsent << "weekly on Wed at 06:45:00, full report, to nobody"
                                       << "\\d{4}-\\d\\d-\\d\\d 06:45:00 \\+00:00";
    }

    void eachNotificationShowsItsDetails()
    {
        QFETCH(NotificationData, record);
        QFETCH(QString, summary);
        QFETCH(QString, nextDue);
        QVERIFY(ConfigurationFile().setRecipients({alice, bob}));
        QVERIFY(ConfigurationFile().setNotifications({record}));
        openWindow();
        const QStringList lines = list()->item(0)->data(Qt::AccessibleDescriptionRole).toString().split(u'\n');
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(0), summary);
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(QStringLiteral("next due: ") + nextDue)).match(lines.at(1)).hasMatch(),
                 qPrintable(lines.at(1)));
        // Drawn: the row holds the alias and both lines.
        QVERIFY(list()->visualItemRect(list()->item(0)).height() >= 3 * list()->fontMetrics().height());
    }

    void editReplacesTheRecordAndSortsAgain()
    {
        NotificationData alert;
        alert.alias = "Battery alert";
        alert.notificationType = NotificationKind::Triggered;
        alert.triggerValue = 1;
        QVERIFY(ConfigurationFile().setNotifications({notification("Monday report"), alert}));
        openWindow();
        QCOMPARE(itemTexts(list()), (QStringList{"Battery alert", "Monday report"}));

        QString shownAlias;
        m_driver->expectDialog([&shownAlias](QWidget *dialog) {
            shownAlias = child<QLineEdit>(dialog, "aliasLineEdit")->text();
            replaceText(dialog, "aliasLineEdit", QStringLiteral("Zulu report"));
            click(dialog, "dailyRadioButton");
            click(dialog, "okButton");
        });
        doubleClickItem(list(), itemWithText(list(), QStringLiteral("Monday report")));
        QTRY_VERIFY(m_driver->allDialogsHandled());
        QCOMPARE(shownAlias, QStringLiteral("Monday report"));
        QCOMPARE(itemTexts(list()), (QStringList{"Battery alert", "Zulu report"}));

        // Replaced in place: same position in the file, every field from the dialog (daily takes the
        // daily time, the weekly day falls back to 1, the uuid of a recipient that does not exist is
        // dropped), the alert untouched.
        const NotificationList written = ConfigurationFile().notifications();
        QCOMPARE(aliasesOf(written), (QStringList{"Zulu report", "Battery alert"}));
        QCOMPARE(written.at(0).periodicType, PeriodicType::Daily);
        QCOMPARE(written.at(0).dayOfWeek, 1);
        QCOMPARE(written.at(0).time, std::string("00:00:00"));
        QVERIFY(written.at(0).recipientList.empty());
        QCOMPARE(written.at(1), alert);
        QCOMPARE(m_window->notificationRecords(), written);
    }

    void equalAliasesAreBothWritten()
    {
        openWindow();
        addNotificationNamed(QStringLiteral("Same"));
        addNotificationNamed(QStringLiteral("Same"));
        QCOMPARE(itemTexts(list()), (QStringList{"Same", "Same"}));
        QCOMPARE(aliasesOf(ConfigurationFile().notifications()), (QStringList{"Same", "Same"}));
    }

    void removeAsksOnceAndWritesOnce()
    {
        QVERIFY(ConfigurationFile().setNotifications(notifications({"N1", "N2", "N3", "N4"})));
        openWindow();
        FileWriteCounter writes(ConfigurationFile::filePath());
        QVERIFY(writes.isValid());

        clickItem(list(), itemWithText(list(), QStringLiteral("N1")));
        clickItem(list(), itemWithText(list(), QStringLiteral("N2")), Qt::ControlModifier);
        clickItem(list(), itemWithText(list(), QStringLiteral("N4")), Qt::ControlModifier);
        QCOMPARE(list()->selectedItems().size(), 3);
        // No keeps them all; Yes removes them.
        m_driver->answerNextBox(QStringLiteral("No"));
        click(m_window.get(), "removeNotificationButton");
        QCOMPARE(writes.count(), 0);
        QCOMPARE(itemTexts(list()).size(), 4);
        click(m_window.get(), "removeNotificationButton");
        QCOMPARE(m_driver->boxes.size(), 2);
        QCOMPARE(m_driver->boxes.at(1).title, QStringLiteral("Remove Notification"));
        QCOMPARE(m_driver->boxes.at(1).text, QStringLiteral("Remove the notifications \"N1\", \"N2\", \"N4\"?"));
        QCOMPARE(writes.count(), 1);
        QCOMPARE(itemTexts(list()), QStringList{"N3"});
        QCOMPARE(aliasesOf(ConfigurationFile().notifications()), QStringList{"N3"});

        // Nothing selected: the same notifications are written again, once.
        const QByteArray before = fileBytes();
        list()->clearSelection();
        click(m_window.get(), "removeNotificationButton");
        QCOMPARE(writes.count(), 2);
        QCOMPARE(fileBytes(), before);
        QCOMPARE(m_driver->boxes.size(), 2);
    }

    void cancelLeavesTheFileAsItWas()
    {
        RecipientData alice{"{0b5a3f7e-8c1d-4e2f-9a6b-7c8d9e0f1a2b}", "Alice", "alice@example.test", false};
        QVERIFY(ConfigurationFile().setRecipients({alice}));
        QVERIFY(ConfigurationFile().setNotifications(notifications({"Weekly"})));
        openWindow();
        const QByteArray before = fileBytes();
        FileWriteCounter writes(ConfigurationFile::filePath());
        QVERIFY(writes.isValid());

        m_driver->expectDialog([](QWidget *dialog) {
            replaceText(dialog, "serverLineEdit", QStringLiteral("changed.example.test"));
            click(dialog, "cancleButton");
        });
        click(m_window.get(), "SMTPSettingsButton");
        QTRY_VERIFY(m_driver->allDialogsHandled());

        m_driver->expectDialog([](QWidget *dialog) {
            click(dialog, "addPushButton");
            click(dialog, "cancleButton");
        });
        click(m_window.get(), "recipientButton");
        QTRY_VERIFY(m_driver->allDialogsHandled());

        m_driver->expectDialog([](QWidget *dialog) {
            replaceText(dialog, "aliasLineEdit", QStringLiteral("Never"));
            click(dialog, "cancleButton");
        });
        click(m_window.get(), "addNotificationButton");
        QTRY_VERIFY(m_driver->allDialogsHandled());

        m_driver->expectDialog([](QWidget *dialog) {
            replaceText(dialog, "aliasLineEdit", QStringLiteral("Renamed"));
            click(dialog, "triggeredRadioButton");
            click(dialog, "cancleButton");
        });
        doubleClickItem(list(), itemWithText(list(), QStringLiteral("Weekly")));
        QTRY_VERIFY(m_driver->allDialogsHandled());

        QCOMPARE(writes.count(), 0);
        QCOMPARE(fileBytes(), before);
        QCOMPARE(itemTexts(list()), QStringList{"Weekly"});
        QCOMPARE(m_window->notificationRecords(), notifications({"Weekly"}));
    }

    void removedRecipientLeavesItsNotifications()
    {
        QVERIFY(ConfigurationFile().setRecipients({alice, bob}));
        NotificationList records = notifications({"Both", "Alice only", "Bob only"});
        records[0].recipientList = {alice.uuid, bob.uuid};
        records[1].recipientList = {alice.uuid};
        records[2].recipientList = {bob.uuid};
        QVERIFY(ConfigurationFile().setNotifications(records));
        openWindow();
        FileWriteCounter writes(ConfigurationFile::filePath());
        QVERIFY(writes.isValid());

        m_driver->answerNextBox(QStringLiteral("No"));
        m_driver->expectDialog([](QWidget *dialog) {
            auto *recipients = child<QListWidget>(dialog, "listWidget");
            clickItem(recipients, itemWithText(recipients, QStringLiteral("Alice")));
            click(dialog, "removePushButton"); // No: Alice stays
            click(dialog, "removePushButton"); // Yes
            click(dialog, "okButton");
        });
        click(m_window.get(), "recipientButton");
        QCOMPARE(m_driver->boxes.size(), 2);
        QCOMPARE(m_driver->boxes.at(0).text, m_driver->boxes.at(1).text);
        QCOMPARE(m_driver->boxes.at(1).text, QStringLiteral("Remove \"Alice\"? It is taken out of the notifications that "
                                                            "name it: \"Both\", \"Alice only\"."));
        // One write holds both: the recipient gone, and gone from the notifications that named it.
        QCOMPARE(writes.count(), 1);
        QCOMPARE(ConfigurationFile().recipients(), RecipientList{bob});
        const std::set<std::string> onlyBob{bob.uuid};
        QCOMPARE(ConfigurationFile().notifications().at(0).recipientList, onlyBob);
        QVERIFY(ConfigurationFile().notifications().at(1).recipientList.empty());

        // The window's own later writes do not bring the uuid back.
        clickItem(list(), itemWithText(list(), QStringLiteral("Bob only")));
        click(m_window.get(), "removeNotificationButton");
        QCOMPARE(aliasesOf(ConfigurationFile().notifications()), (QStringList{"Both", "Alice only"}));
        QCOMPARE(ConfigurationFile().notifications().at(0).recipientList, onlyBob);
    }

    // Every field whose text reaches a mail header or an SMTP command, each typed (or, for a line break,
    // pasted) as a user would: OK names the field in a warning, the dialog stays open, nothing is written.
    void refusedFieldsWriteNothing_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("warning");
        const auto row = [](const char *name, const char *button, const char *field, const char *text, const char *warning) {
            QTest::newRow(name) << QString::fromLatin1(button) << QString::fromLatin1(field) << QString::fromUtf8(text)
                                << QString::fromLatin1(warning);
        };
        row("sender: words", "SMTPSettingsButton", "emailLineEdit", "dana at depot", "Sender email cannot be saved: it contains a blank");
        row("sender: no domain", "SMTPSettingsButton", "emailLineEdit", "dana@", "Sender email cannot be saved: nothing follows the @");
        row("sender: two @", "SMTPSettingsButton", "emailLineEdit", "dana@depot@x.test", "Sender email cannot be saved: it has more than one @");
        row("sender: header injection", "SMTPSettingsButton", "emailLineEdit", "ops@x.test\r\nBcc: all@x.test", "Sender email cannot be saved: it contains a line break");
        row("sender: umlaut", "SMTPSettingsButton", "emailLineEdit", "j\xc3\xb6rg@x.test", "Sender email cannot be saved: it contains characters outside ASCII");
        row("sender name: line break", "SMTPSettingsButton", "nameLineEdit", "Ops\nBcc: all@x.test", "Sender name cannot be saved: it contains a line break");
        row("server: line break", "SMTPSettingsButton", "serverLineEdit", "mail.x.test\r\nRCPT TO:<a@b>", "SMTP server cannot be saved: it contains a line break");
        row("user: line break", "SMTPSettingsButton", "usernameLineEdit", "vk\r\nAUTH", "User name cannot be saved: it contains a line break");
        row("recipient: words", "recipientButton", "emailLineEdit", "dana at depot", "Recipient email cannot be saved: it contains a blank");
        row("recipient: no @", "recipientButton", "emailLineEdit", "dana.depot.test", "Recipient email cannot be saved: it has no @");
        row("recipient: bad domain", "recipientButton", "emailLineEdit", "dana@depot..test", "Recipient email cannot be saved: \"depot..test\" after the @ is no domain name");
        row("recipient: header injection", "recipientButton", "emailLineEdit", "d@x.test\nBcc: all@x.test", "Recipient email cannot be saved: it contains a line break");
        row("recipient name: line break", "recipientButton", "nameLineEdit", "Dana\r\nBcc: all@x.test", "Recipient name cannot be saved: it contains a line break");
        row("alias: line break", "addNotificationButton", "aliasLineEdit", "Daily\nreport", "Notification alias cannot be saved: it contains a line break");
    }

    void refusedFieldsWriteNothing()
    {
        QFETCH(QString, button);
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(QString, warning);
        openWindow();
        const QByteArray before = fileBytes();
        FileWriteCounter writes(ConfigurationFile::filePath());
        QVERIFY(writes.isValid());

        bool stayedOpen = false;
        m_driver->expectDialog([&](QWidget *dialog) {
            if (button == QLatin1String("recipientButton"))
                click(dialog, "addPushButton");
            auto *edit = child<QLineEdit>(dialog, field.toLatin1().constData());
            if (text.contains(QLatin1Char('\n'))) {
                QGuiApplication::clipboard()->setText(text); // a line break arrives by pasting only
                edit->setFocus();
                edit->selectAll();
                QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
            } else {
                replaceText(dialog, field.toLatin1().constData(), text);
            }
            QCOMPARE(edit->text(), text);
            click(dialog, "okButton");
            stayedOpen = dialog->isVisible();
            click(dialog, "cancleButton");
        });
        click(m_window.get(), button.toLatin1().constData());
        QVERIFY(stayedOpen);
        QCOMPARE(m_driver->boxes.size(), 1);
        QCOMPARE(m_driver->boxes.at(0).icon, int(QMessageBox::Warning));
        const QString shown = m_driver->boxes.at(0).text;
        QVERIFY2(shown.startsWith(warning) && shown.endsWith(QStringLiteral(". Nothing was saved.")), qPrintable(shown));
        QCOMPARE(writes.count(), 0);
        QCOMPARE(fileBytes(), before);
    }

    void smtpSettingsAreWrittenAsEntered()
    {
        openWindow(); // the file holds the default document
        int shownPort = 0;
        QString shownSecurity;
        QString shownServer = QStringLiteral("unset");
        m_driver->expectDialog([&](QWidget *dialog) {
            shownPort = child<QSpinBox>(dialog, "portSpinBox")->value();
            shownSecurity = child<QComboBox>(dialog, "securityComboBox")->currentText();
            shownServer = child<QLineEdit>(dialog, "serverLineEdit")->text();
            replaceText(dialog, "usernameLineEdit", QStringLiteral("vk"));
            replaceText(dialog, "passwordLineEdit", QStringLiteral("Qw8Hidden"));
            child<QGroupBox>(dialog, "authenticationGroupBox")->setChecked(false);
            replaceText(dialog, "nameLineEdit", QStringLiteral("Ops"));
            replaceText(dialog, "emailLineEdit", QStringLiteral("ops@example.test"));
            click(dialog, "okButton");
        });
        click(m_window.get(), "SMTPSettingsButton");
        QTRY_VERIFY(m_driver->allDialogsHandled());
        QCOMPARE(shownPort, 465);
        QCOMPARE(shownSecurity, QStringLiteral("SSL/TLS (ssl)"));
        QCOMPARE(shownServer, QString());

        const SmtpSettingsData written = ConfigurationFile().smtpSettings();
        QCOMPARE(written.server, std::string());
        QCOMPARE(written.port, 465);
        QCOMPARE(written.security, SecurityType::ImplicitTls);
        QCOMPARE(written.authentication.enabled, false);
        QCOMPARE(written.authentication.username, std::string("vk"));
        QCOMPARE(written.authentication.password, std::string("Qw8Hidden"));
        QCOMPARE(written.sender.name, std::string("Ops"));
        QCOMPARE(written.sender.email, std::string("ops@example.test"));
        // Scrambled in the file: the first three letters equal the key's, so they become NULs.
        const nlohmann::json raw = nlohmann::json::parse(fileBytes().toStdString());
        const std::string stored = raw.at("smtpSettings").at("authentication").at("password");
        QCOMPARE(stored.size(), std::size_t(9));
        QCOMPARE(stored.substr(0, 3), std::string(3, '\0'));
        QVERIFY(m_driver->boxes.isEmpty());
    }

    void nonAsciiPasswordWritesNothing()
    {
        openWindow();
        const QByteArray before = fileBytes();
        FileWriteCounter writes(ConfigurationFile::filePath());
        bool stillOpen = false;
        m_driver->expectDialog([&stillOpen, this](QWidget *dialog) {
            replaceText(dialog, "passwordLineEdit", QStringLiteral("gr\u00fc\u00dfe"));
            click(dialog, "okButton"); // refused with a warning, the dialog stays
            stillOpen = dialog->isVisible() && m_driver->boxes.size() == 1;
            click(dialog, "cancleButton");
        });
        click(m_window.get(), "SMTPSettingsButton");
        QTRY_VERIFY(m_driver->allDialogsHandled());
        QVERIFY(stillOpen);
        QCOMPARE(m_driver->boxes.size(), 1);
        QCOMPARE(m_driver->boxes.at(0).icon, int(QMessageBox::Warning));
        QVERIFY(m_driver->boxes.at(0).text.contains(QStringLiteral("ASCII")));
        QCOMPARE(writes.count(), 0);
        QCOMPARE(fileBytes(), before);
    }

    void aChangeThatCannotBeWrittenIsReported()
    {
        QVERIFY(ConfigurationFile().setNotifications(notifications({"Kept 1", "Kept 2"})));
        openWindow();
        const QByteArray before = fileBytes();

        {
            const FileSizeLimit full(16);
            clickItem(list(), itemWithText(list(), QStringLiteral("Kept 1")));
            click(m_window.get(), "removeNotificationButton"); // asked, then the write fails
        }
        QCOMPARE(m_driver->boxes.size(), 2);
        QCOMPARE(m_driver->boxes.at(1).icon, int(QMessageBox::Warning));
        QVERIFY(m_driver->boxes.at(1).text.contains(QStringLiteral("not saved")));
        QVERIFY(m_driver->boxes.at(1).text.contains(QDir::toNativeSeparators(ConfigurationFile::filePath())));
        QCOMPARE(fileBytes(), before);
        // The window shows what the file holds, not the lost change.
        QCOMPARE(itemTexts(list()), (QStringList{"Kept 1", "Kept 2"}));

        m_driver->expectDialog([](QWidget *dialog) {
            replaceText(dialog, "serverLineEdit", QStringLiteral("lost.example.test"));
            click(dialog, "okButton");
        });
        {
            const FileSizeLimit full(16);
            click(m_window.get(), "SMTPSettingsButton");
            QTRY_VERIFY(m_driver->allDialogsHandled());
        }
        QCOMPARE(m_driver->boxes.size(), 3);
        QVERIFY(m_driver->boxes.at(2).text.contains(QStringLiteral("not saved")));
        QCOMPARE(fileBytes(), before);

        // With room again the same action goes through.
        clickItem(list(), itemWithText(list(), QStringLiteral("Kept 1")));
        click(m_window.get(), "removeNotificationButton");
        QCOMPARE(aliasesOf(ConfigurationFile().notifications()), QStringList{"Kept 2"});
        QCOMPARE(m_driver->boxes.size(), 4);
    }

    void aFileBrokenDuringTheSessionIsNamed()
    {
        openWindow();
        m_window->show();
        const QByteArray broken = "{ \"smtpSettings\": { \"server\": ";
        writeRaw(broken);
        click(m_window.get(), "SMTPSettingsButton");
        QCOMPARE(m_driver->boxes.size(), 1);
        QCOMPARE(m_driver->boxes.at(0).icon, int(QMessageBox::Critical));
        QVERIFY(m_driver->boxes.at(0).text.contains(QDir::toNativeSeparators(ConfigurationFile::filePath())));
        QVERIFY2(m_driver->boxes.at(0).text.contains(QStringLiteral("parse_error")), qPrintable(m_driver->boxes.at(0).text));
        QCOMPARE(fileBytes(), broken);
        // The window closes, and the program ends with status 1.
        QVERIFY(m_window->configurationUnreadable());
        QVERIFY(!m_window->isVisible());

        // A missing member is named as the JSON library reports it.
        const QByteArray noRecipients = "{ \"notifications\": [] }";
        writeRaw(noRecipients);
        openWindow();
        QVERIFY(!m_window->configurationUnreadable());
        click(m_window.get(), "recipientButton");
        QCOMPARE(m_driver->boxes.size(), 2); // the first window saved nothing: no word at its end
        QVERIFY(m_driver->boxes.at(1).text.contains(QStringLiteral("key 'recipients' not found")));
        QVERIFY(m_window->configurationUnreadable());
        QCOMPARE(fileBytes(), noRecipients);
    }

    void aboutBoxShowsTheVersion()
    {
        openWindow();
        QDialog *about = nullptr;
        QString label;
        int buttons = -1;
        bool grid = false;
        QString title = QStringLiteral("unset");
        QWidget *parent = m_window.get();
        m_driver->expectDialog([&](QWidget *dialog) {
            about = qobject_cast<QDialog *>(dialog);
            parent = dialog->parentWidget();
            title = dialog->windowTitle();
            const QList<QLabel *> labels = dialog->findChildren<QLabel *>();
            label = labels.size() == 1 ? labels.at(0)->text() : QString();
            buttons = int(dialog->findChildren<QAbstractButton *>().size());
            grid = qobject_cast<QGridLayout *>(dialog->layout()) != nullptr;
            dialog->close();
        });
        m_window->findChild<QAction *>(QStringLiteral("m_AboutBellwrightAction"))->trigger();
        QTRY_VERIFY(m_driver->allDialogsHandled());
        QVERIFY(about);
        QCOMPARE(parent, nullptr);
        QCOMPARE(title, QString());
        QCOMPARE(label, QStringLiteral("Bellwright Version 0.10.3.9"));
        QCOMPARE(buttons, 0);
        QVERIFY(grid);
    }

    void formAsDesigned()
    {
        openWindow();
        QCOMPARE(m_window->size(), QSize(520, 400));
        QCOMPARE(list()->selectionMode(), QAbstractItemView::ExtendedSelection);
        const QList<QAction *> menus = m_window->menuBar()->actions();
        QCOMPARE(menus.size(), 2);
        QCOMPARE(menus.at(0)->text(), QStringLiteral("File"));
        QCOMPARE(menus.at(1)->text(), QStringLiteral("Help"));
        auto *exit = m_window->findChild<QAction *>(QStringLiteral("m_FileExitAction"));
        QCOMPARE(exit->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
        QCOMPARE(menus.at(0)->menu()->actions(), QList<QAction *>{exit});
    }

    // The server applies changes by itself: the end of a session says so once it saved something.
    void exitPromptOnlyAfterAChange()
    {
        openWindow();
        m_window->show();
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        QTest::keyClick(m_window.get(), Qt::Key_Q, Qt::ControlModifier);
        QTRY_VERIFY(!m_window->isVisible());
        m_window.reset();
        QVERIFY(m_driver->boxes.isEmpty());

        openWindow();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        addNotificationNamed(QStringLiteral("Weekly"));
        m_driver->boxes.clear(); // the notice that the new notification mails nobody
        m_window->findChild<QAction *>(QStringLiteral("m_FileExitAction"))->trigger();
        QVERIFY(!m_window->isVisible());
        QVERIFY(m_driver->boxes.isEmpty()); // the prompt belongs to the end of the window, not to closing
        QWidget *const closed = m_window.get();
        m_window.reset();
        QCOMPARE(m_driver->boxes.size(), 1);
        QCOMPARE(m_driver->boxes.at(0).title, savedTitle);
        QCOMPARE(m_driver->boxes.at(0).text, savedText);
        QCOMPARE(m_driver->boxes.at(0).icon, int(QMessageBox::Information));
        QCOMPARE(m_driver->boxes.at(0).parent, closed);
    }

private:
    void openWindow()
    {
        m_window = std::make_unique<QMainSubclassForm>(ConfigurationFile::filePath());
    }

    static void writeRaw(const QByteArray &bytes)
    {
        QFile file(ConfigurationFile::filePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(bytes), qint64(bytes.size()));
    }

    QListWidget *list() const { return child<QListWidget>(m_window.get(), "notificationsListWidget"); }

    void addNotificationNamed(const QString &alias)
    {
        m_driver->expectDialog([alias](QWidget *dialog) {
            replaceText(dialog, "aliasLineEdit", alias);
            click(dialog, "okButton");
        });
        click(m_window.get(), "addNotificationButton");
        QTRY_VERIFY(m_driver->allDialogsHandled());
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ModalDriver> m_driver;
    std::unique_ptr<QMainSubclassForm> m_window;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
