// From the editor to a delivered mail: the editor's own dialogs, driven offscreen, write a recipient,
// the SMTP settings (with a login) and a health alert; the real Voltkeep server then mails the alert
// through the test SMTP server with exactly what the editor wrote.
#include "ModalDriver.h"
#include "NotificationTestSupport.h"
#include "QMainSubclassForm.h"
#include "SmtpTestServer.h"
#include "VoltkeepProcess.h"
#include "WidgetInput.h"

#include <ConfigurationFile.h>
#include <RadioPeer.h>

#include <QComboBox>
#include <QGroupBox>
#include <QListWidget>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace NVL::Engineering::VK;

using namespace WidgetInput;
using NVL::Engineering::VK::RadioPeer;
using NotificationTest::battery;
using NotificationTest::parseMail;

class TestEditorEnd2End : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void editorSettingsDriveTheServersMail()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        qputenv("NORVALE_COMMON_APPDATA", dir.path().toUtf8());
        SmtpTestServer::Options options;
        options.authUser = QStringLiteral("alerts@norvale.test");
        options.authPassword = QStringLiteral("Qw8-not-so-secret");
        SmtpTestServer smtp(options);
        QVERIFY2(smtp.start(), qPrintable(smtp.errorString()));

        ModalDriver driver;
        auto window = std::make_unique<QMainSubclassForm>(ConfigurationFile::filePath());

        driver.expectDialog([](QWidget *dialog) {
            click(dialog, "addPushButton");
            replaceText(dialog, "nameLineEdit", QStringLiteral("Fleet Desk"));
            replaceText(dialog, "emailLineEdit", QStringLiteral("fleet@norvale.test"));
            click(dialog, "okButton");
        });
        click(window.get(), "recipientButton");

        const quint16 smtpPort = smtp.port();
        driver.expectDialog([smtpPort](QWidget *dialog) {
            replaceText(dialog, "serverLineEdit", QStringLiteral("127.0.0.1"));
            auto *port = child<QSpinBox>(dialog, "portSpinBox");
            port->setFocus();
            port->selectAll();
            QTest::keyClicks(port, QString::number(smtpPort));
            child<QComboBox>(dialog, "securityComboBox")->setCurrentIndex(0); // none
            QVERIFY(child<QGroupBox>(dialog, "authenticationGroupBox")->isChecked());
            replaceText(dialog, "usernameLineEdit", QStringLiteral("alerts@norvale.test"));
            replaceText(dialog, "passwordLineEdit", QStringLiteral("Qw8-not-so-secret"));
            replaceText(dialog, "nameLineEdit", QStringLiteral("Voltkeep"));
            replaceText(dialog, "emailLineEdit", QStringLiteral("voltkeep@norvale.test"));
            click(dialog, "okButton");
        });
        click(window.get(), "SMTPSettingsButton");

        driver.expectDialog([](QWidget *dialog) {
            replaceText(dialog, "aliasLineEdit", QStringLiteral("Battery turned fair"));
            click(dialog, "triggeredRadioButton");
            child<QComboBox>(dialog, "healthComboBox")->setCurrentIndex(1); // "Fair"
            auto *available = child<QListWidget>(dialog, "availableList");
            available->selectAll();
            click(dialog, "assignButton");
            click(dialog, "okButton");
        });
        click(window.get(), "addNotificationButton");
        QVERIFY(driver.allDialogsHandled());
        window.reset(); // the word that the changes are saved, answered by the driver
        QVERIFY(driver.unexpectedDialogs.isEmpty());
        QCOMPARE(driver.boxes.size(), 1);

        // What the server will read.
        const RecipientList recipients = ConfigurationFile().recipients();
        QCOMPARE(recipients.size(), std::size_t(1));
        const NotificationList notifications = ConfigurationFile().notifications();
        QCOMPARE(notifications.size(), std::size_t(1));
        QCOMPARE(notifications.at(0).notificationType, NotificationKind::Triggered);
        QCOMPARE(notifications.at(0).triggerValue, 1);
        QCOMPARE(notifications.at(0).recipientList, std::set<std::string>{recipients.at(0).uuid});

        VoltkeepProcess server(dir.path());
        server.setPort(VoltkeepProcess::freePort());
        QVERIFY(server.start());
        RadioPeer peer(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(peer.connectToServer());
        QVERIFY(peer.sendReport(battery('B', 1, 95, "Truck 9"))); // Excellent: a first report never alerts
        QVERIFY(peer.sendReport(battery('B', 1, 84, "Truck 9"))); // falls to Fair
        QVERIFY(peer.list().has_value()); // answered after both reports were handled

        QVERIFY2(smtp.waitForMessages(1, 20000), qPrintable(server.log()));
        const QList<SmtpTestServer::Message> messages = smtp.messages();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.at(0).login, QStringLiteral("alerts@norvale.test")); // the password survived scrambling
        QCOMPARE(messages.at(0).mailFrom, QStringLiteral("voltkeep@norvale.test"));
        QCOMPARE(messages.at(0).rcptTos, QStringList{QStringLiteral("fleet@norvale.test")});
        const NotificationTest::Mail mail = parseMail(messages.at(0).data);
        QVERIFY(mail.headers.value("to").contains("Fleet Desk"));
        QVERIFY(mail.headers.value("from").contains("Voltkeep"));
        QVERIFY(mail.parts.value(1).body.contains("<td>Fair</td>"));
        QVERIFY(mail.parts.value(1).body.contains("<td>Truck 9</td>"));
        QVERIFY(server.isRunning());
    }
};

QTEST_MAIN(TestEditorEnd2End)
#include "tst_editorend2end.moc"
