// The SMTP settings dialog driven like a user: the mapping between its widgets and the record, the
// refused non-ASCII password, and the test mail against the real test SMTP server and a scripted one.
#include "ModalDriver.h"
#include "NotificationTestSupport.h"
#include "SMTPSettings.h"
#include "ScriptedTcpServer.h"
#include "SmtpTestServer.h"
#include "WidgetInput.h"

#include <FreePort.h>

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QStyleOptionGroupBox>
#include <QTemporaryDir>
#include <QtTest>

using namespace NVL::Engineering::VK;

using NotificationTest::parseMail;
using namespace WidgetInput;

namespace {

void setPort(QWidget *dialog, int port)
{
    auto *spin = child<QSpinBox>(dialog, "portSpinBox");
    spin->setFocus();
    spin->selectAll();
    QTest::keyClicks(spin, QString::number(port));
    QTest::keyClick(spin, Qt::Key_Tab);
}

// As the user picks an item: opens nothing, moves with the arrow keys from the top.
void chooseSecurity(QWidget *dialog, int index)
{
    auto *combo = child<QComboBox>(dialog, "securityComboBox");
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Home);
    for (int i = 0; i < index; ++i)
        QTest::keyClick(combo, Qt::Key_Down);
}

// Clicks the check box in the group box's title.
void clickAuthenticationCheckBox(QWidget *dialog)
{
    auto *box = child<QGroupBox>(dialog, "authenticationGroupBox");
    QStyleOptionGroupBox option;
    option.initFrom(box);
    option.subControls = QStyle::SC_GroupBoxCheckBox | QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
    option.features = QStyleOptionFrame::None;
    option.text = box->title();
    option.lineWidth = 1;
    const QRect rect = box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxCheckBox, box);
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, rect.center());
}

SmtpSettingsData filledRecord()
{
    SmtpSettingsData s;
    s.server = "mail.example.test";
    s.port = 587;
    s.security = SecurityType::StartTls;
    s.authentication.enabled = false;
    s.authentication.username = "ops@example.test";
    s.authentication.password = "Qw8-secret";
    s.sender.name = "Ops Desk";
    s.sender.email = "ops@example.test";
    return s;
}

// The filled record pointed at a plain-TCP server on loopback.
SmtpSettingsData loopbackRecord(quint16 port)
{
    SmtpSettingsData s = filledRecord();
    s.server = "127.0.0.1";
    s.port = port;
    s.security = SecurityType::PlainTcp;
    return s;
}

// Plays an SMTP server that accepts everything, so the test sees every command of the client.
void acceptingServer(ScriptedTcpServer::Connection &connection)
{
    connection.send("220 scripted ESMTP\r\n");
    QByteArray line;
    bool inData = false;
    int authStep = 0;
    while (connection.readLine(&line)) {
        if (inData) {
            if (line == ".") {
                inData = false;
                connection.send("250 queued\r\n");
            }
        } else if (authStep == 1) {
            authStep = 2;
            connection.send("334 UGFzc3dvcmQ6\r\n");
        } else if (authStep == 2) {
            authStep = 0;
            connection.send("235 accepted\r\n");
        } else if (line.startsWith("EHLO")) {
            connection.send("250-scripted\r\n250 AUTH LOGIN PLAIN\r\n");
        } else if (line == "AUTH LOGIN") {
            authStep = 1;
            connection.send("334 VXNlcm5hbWU6\r\n");
        } else if (line.startsWith("MAIL FROM:") || line.startsWith("RCPT TO:")) {
            connection.send("250 ok\r\n");
        } else if (line == "DATA") {
            inData = true;
            connection.send("354 go ahead\r\n");
        } else if (line == "QUIT") {
            connection.send("221 bye\r\n");
            break;
        } else {
            connection.send("500 unknown\r\n");
        }
    }
    connection.close();
}

// The client's commands without the message text between DATA and the final dot.
QList<QByteArray> commandsOf(const QList<QByteArray> &lines)
{
    QList<QByteArray> commands;
    bool inData = false;
    for (const QByteArray &line : lines) {
        if (inData) {
            inData = line != ".";
            continue;
        }
        commands.append(line);
        inData = line == "DATA";
    }
    return commands;
}

const QString successText = QStringLiteral("Test email successfully sent to ops@example.test. Check email to confirm.");

// The box after a failed connection: the server and the one step tried, with the reason.
QString connectFailed(quint16 port, const QString &reason)
{
    return QStringLiteral("Test email failed:\nServer: 127.0.0.1, port %1, security none\nConnect: failed: %2").arg(port).arg(reason);
}

} // namespace

class TestSmtpSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dataDir.isValid());
        // Nothing here may touch the configuration file; if anything did, it would land in this folder.
        qputenv("NORVALE_COMMON_APPDATA", m_dataDir.path().toUtf8());
    }

    void cleanupTestCase()
    {
        QVERIFY2(QDir(m_dataDir.path()).isEmpty(), "the dialog touched the configuration folder");
    }

    void defaultsShowPort465AndSsl()
    {
        SMTPSettings dialog{SmtpSettingsData{}};
        QCOMPARE(dialog.windowTitle(), QStringLiteral("SMTP Settings"));
        QCOMPARE(child<QSpinBox>(&dialog, "portSpinBox")->value(), 465);
        QCOMPARE(child<QComboBox>(&dialog, "securityComboBox")->currentText(), QStringLiteral("SSL/TLS (ssl)"));
        // Each choice says what it means here and its usual port.
        const char *ports[] = {"port 25", "port 465", "port 587"};
        for (int i = 0; i < 3; ++i)
            QVERIFY(child<QComboBox>(&dialog, "securityComboBox")->itemData(i, Qt::ToolTipRole).toString().contains(QLatin1String(ports[i])));
        QVERIFY(child<QGroupBox>(&dialog, "authenticationGroupBox")->isChecked());
        QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
        QCOMPARE(dialog.smtpSettingsData(), SmtpSettingsData{});
    }

    void emptyServerShowsPlaceholderAndStaysEmpty()
    {
        SMTPSettings dialog{SmtpSettingsData{}};
        auto *server = child<QLineEdit>(&dialog, "serverLineEdit");
        QVERIFY(server->text().isEmpty());
        QVERIFY(!server->placeholderText().isEmpty());
        QCOMPARE(dialog.smtpSettingsData().server, std::string());
    }

    void everyFieldShownAndReturned()
    {
        const SmtpSettingsData record = filledRecord();
        SMTPSettings dialog(record);
        QCOMPARE(child<QLineEdit>(&dialog, "serverLineEdit")->text(), QStringLiteral("mail.example.test"));
        QCOMPARE(child<QComboBox>(&dialog, "securityComboBox")->currentText(), QStringLiteral("STARTTLS (starttls)"));
        // Unchecked authentication keeps user and password in the disabled fields, and returns them.
        QVERIFY(!child<QGroupBox>(&dialog, "authenticationGroupBox")->isChecked());
        QVERIFY(!child<QLineEdit>(&dialog, "passwordLineEdit")->isEnabled());
        QCOMPARE(child<QLineEdit>(&dialog, "passwordLineEdit")->echoMode(), QLineEdit::Password);
        QCOMPARE(dialog.smtpSettingsData(), record);
    }

    void unknownSecurityNumberShowsPlainTcp()
    {
        SmtpSettingsData record = filledRecord();
        record.security = static_cast<SecurityType>(7);
        SMTPSettings dialog(record);
        QCOMPARE(child<QComboBox>(&dialog, "securityComboBox")->currentText(), QStringLiteral("No encryption (none)"));
        QCOMPARE(dialog.smtpSettingsData().security, SecurityType::PlainTcp);
    }

    // The number stays what the file holds; the label carries the word vkconfig uses for it.
    void securityLabelsUseVkconfigsWords_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("word");
        QTest::newRow("plain") << 0 << "none";
        QTest::newRow("TLS from the start") << 1 << "ssl";
        QTest::newRow("STARTTLS") << 2 << "starttls";
    }

    void securityLabelsUseVkconfigsWords()
    {
        QFETCH(int, stored);
        QFETCH(QString, word);
        SmtpSettingsData record = filledRecord();
        record.security = static_cast<SecurityType>(stored);
        SMTPSettings dialog(record);
        auto *combo = child<QComboBox>(&dialog, "securityComboBox");
        QVERIFY2(combo->currentText().endsWith(QStringLiteral(" (%1)").arg(word)), qPrintable(combo->currentText()));
        QVERIFY(combo->currentData(Qt::ToolTipRole).toString().startsWith(word + QLatin1Char(':')));
        QCOMPARE(int(dialog.smtpSettingsData().security), stored);
        QCOMPARE(combo->count(), 3);
    }

    void typedValuesBecomeTheRecord()
    {
        SMTPSettings dialog{SmtpSettingsData{}};
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        replaceText(&dialog, "serverLineEdit", QStringLiteral("smtp.norvale.test"));
        setPort(&dialog, 2525);
        chooseSecurity(&dialog, 0);
        replaceText(&dialog, "usernameLineEdit", QStringLiteral("vk"));
        replaceText(&dialog, "passwordLineEdit", QStringLiteral("pw!"));
        clickAuthenticationCheckBox(&dialog);
        replaceText(&dialog, "nameLineEdit", QStringLiteral("Jörg Müller"));
        replaceText(&dialog, "emailLineEdit", QStringLiteral("jm@example.test"));

        const SmtpSettingsData data = dialog.smtpSettingsData();
        QCOMPARE(data.server, std::string("smtp.norvale.test"));
        QCOMPARE(data.port, 2525);
        QCOMPARE(data.security, SecurityType::PlainTcp);
        QCOMPARE(data.authentication.enabled, false);
        QCOMPARE(data.authentication.username, std::string("vk"));
        QCOMPARE(data.authentication.password, std::string("pw!"));
        QCOMPARE(data.sender.name, std::string("J\xc3\xb6rg M\xc3\xbcller"));
        QCOMPARE(data.sender.email, std::string("jm@example.test"));

        ModalDriver driver;
        click(&dialog, "okButton");
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(driver.boxes.isEmpty());
    }

    void nonAsciiPasswordIsRefused()
    {
        ModalDriver driver;
        SMTPSettings dialog{SmtpSettingsData{}};
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        replaceText(&dialog, "passwordLineEdit", QStringLiteral("p\u00e4ss"));
        click(&dialog, "okButton");
        QTRY_COMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes.at(0).icon, int(QMessageBox::Warning));
        QCOMPARE(driver.boxes.at(0).parent, &dialog);
        QVERIFY(driver.boxes.at(0).text.contains(QStringLiteral("ASCII")));
        QVERIFY(driver.boxes.at(0).text.contains(QStringLiteral("Nothing was saved")));
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));

        // A plain ASCII password of every printable kind is taken.
        QString printable;
        for (char c = 0x20; c < 0x7f; ++c)
            printable += QLatin1Char(c);
        replaceText(&dialog, "passwordLineEdit", printable);
        click(&dialog, "okButton");
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(dialog.smtpSettingsData().authentication.password, printable.toStdString());
    }

    void testMailArrivesWithoutLogin()
    {
        SmtpTestServer smtp;
        QVERIFY2(smtp.start(), qPrintable(smtp.errorString()));
        SmtpSettingsData record = loopbackRecord(smtp.port()); // authentication unchecked, user and password filled

        ModalDriver driver;
        SMTPSettings dialog(record);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        click(&dialog, "testButton");
        QTRY_COMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes.at(0).title, QStringLiteral("SMTP Test"));
        QCOMPARE(driver.boxes.at(0).text, successText);
        QCOMPARE(driver.boxes.at(0).icon, int(QMessageBox::Information));
        QCOMPARE(driver.boxes.at(0).parent, &dialog);
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.smtpSettingsData(), record);

        const QList<SmtpTestServer::Message> messages = smtp.messages();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.at(0).mailFrom, QStringLiteral("ops@example.test"));
        QCOMPARE(messages.at(0).rcptTos, QStringList{QStringLiteral("ops@example.test")});
        QVERIFY(messages.at(0).login.isEmpty());

        const NotificationTest::Mail mail = parseMail(messages.at(0).data);
        QVERIFY(mail.headers.value("from").contains("<ops@example.test>"));
        QVERIFY(mail.headers.value("to").contains("<ops@example.test>"));
        QVERIFY(mail.headers.value("content-type").startsWith("multipart/related"));
        QCOMPARE(mail.parts.size(), 2);

        const QByteArray html = mail.parts.at(0).body;
        QVERIFY(mail.parts.at(0).headers.value("content-type").startsWith("text/html"));
        const QByteArray head = "<img src='cid:image1' /><h1>Voltkeep Report: ";
        const QByteArray tail = "</h1><hr>";
        QVERIFY2(html.startsWith(head) && html.endsWith(tail), html.constData());
        const QString stamp = QString::fromUtf8(html.mid(head.size(), html.size() - head.size() - tail.size()));
        const QDateTime sent = QDateTime::fromString(stamp, Qt::TextDate);
        QVERIFY2(sent.isValid(), qPrintable(stamp));
        QVERIFY(sent >= before && sent <= QDateTime::currentDateTime());

        const NotificationTest::MimeEntity &logo = mail.parts.at(1);
        QVERIFY(logo.headers.value("content-type").startsWith("image/png"));
        QCOMPARE(logo.headers.value("content-id"), QByteArray("<image1>"));
        QVERIFY(logo.headers.value("content-disposition").startsWith("inline"));
        QFile resource(QStringLiteral(":/NVLLogo.png"));
        QVERIFY(resource.open(QIODevice::ReadOnly));
        QCOMPARE(logo.body, resource.readAll());
        QCOMPARE(QImage::fromData(logo.body, "PNG").size(), QSize(307, 50));
    }

    void testMailLogsInWhenChecked()
    {
        SmtpTestServer::Options options;
        options.authUser = QStringLiteral("vk");
        options.authPassword = QStringLiteral("s3cret pass");
        SmtpTestServer smtp(options);
        QVERIFY2(smtp.start(), qPrintable(smtp.errorString()));
        SmtpSettingsData record = loopbackRecord(smtp.port());
        record.authentication = {true, "vk", "s3cret pass"};

        ModalDriver driver;
        SMTPSettings dialog(record);
        dialog.sendTestMail();
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes.at(0).text, successText);
        QCOMPARE(smtp.messages().size(), 1);
        QCOMPARE(smtp.messages().at(0).login, QStringLiteral("vk"));

        // A wrong password: the login fails, and the server that requires it refuses the mail.
        record.authentication.password = "wrong";
        SMTPSettings refused(record);
        refused.sendTestMail();
        QCOMPARE(driver.boxes.size(), 2);
        QCOMPARE(driver.boxes.at(1).icon, int(QMessageBox::Warning));
        QCOMPARE(driver.boxes.at(1).text,
                 QStringLiteral("Test email failed:\nServer: 127.0.0.1, port %1, security none\nConnect: done\n"
                                "Log in as vk: failed: 535 5.7.8 Authentication credentials invalid\n"
                                "Send to ops@example.test: failed")
                     .arg(smtp.port()));
        QCOMPARE(smtp.messages().size(), 1);
    }

    void commandsOnTheWire_data()
    {
        QTest::addColumn<bool>("authentication");
        QTest::addColumn<QList<QByteArray>>("expected");
        const QList<QByteArray> envelope = {"MAIL FROM: <ops@example.test>", "RCPT TO: <ops@example.test>", "DATA",
                                            "QUIT"};
        QTest::newRow("unchecked: no AUTH at all") << false << (QList<QByteArray>{"EHLO localhost"} + envelope);
        QTest::newRow("checked: AUTH LOGIN")
            << true
            << (QList<QByteArray>{"EHLO localhost", "AUTH LOGIN", QByteArray("ops@example.test").toBase64(),
                                  QByteArray("Qw8-secret").toBase64()}
                + envelope);
    }

    void commandsOnTheWire()
    {
        QFETCH(bool, authentication);
        QFETCH(QList<QByteArray>, expected);
        ScriptedTcpServer server(acceptingServer);
        QVERIFY(server.start());
        SmtpSettingsData record = loopbackRecord(server.port());
        record.authentication.enabled = authentication;

        ModalDriver driver;
        SMTPSettings dialog(record);
        dialog.sendTestMail();
        QVERIFY(server.waitForFinished());
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes.at(0).text, successText);
        QCOMPARE(commandsOf(server.receivedLines()), expected);
    }

    void unreachableHostNamesHostPortAndReason_data()
    {
        QTest::addColumn<bool>("authentication");
        QTest::newRow("authentication checked") << true;
        QTest::newRow("authentication unchecked") << false;
    }

    void unreachableHostNamesHostPortAndReason()
    {
        QFETCH(bool, authentication);
        SmtpSettingsData record = loopbackRecord(NVL::Engineering::VK::freeRadioPort()); // nobody listens there
        QVERIFY(record.port != 0);
        record.authentication.enabled = authentication;

        ModalDriver driver;
        SMTPSettings dialog(record);
        dialog.sendTestMail();
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes.at(0).title, QStringLiteral("SMTP Test"));
        QCOMPARE(driver.boxes.at(0).icon, int(QMessageBox::Warning));
        // Only the connection was tried, with authentication on or off.
        QCOMPARE(driver.boxes.at(0).text, connectFailed(record.port, QStringLiteral("Connection refused")));
        QCOMPARE(dialog.smtpSettingsData(), record);
    }

    void nothingFollowsAFailedConnection()
    {
        // A server that refuses the session in its greeting: the client must not go on with its
        // credentials or the mail.
        ScriptedTcpServer server([](ScriptedTcpServer::Connection &connection) {
            connection.send("554 no service here\r\n");
            connection.staysSilent(1500);
            connection.close();
        });
        QVERIFY(server.start());
        SmtpSettingsData record = loopbackRecord(server.port());
        record.authentication.enabled = true;

        ModalDriver driver;
        SMTPSettings dialog(record);
        dialog.sendTestMail();
        QVERIFY(server.waitForFinished());
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes.at(0).text, connectFailed(server.port(), QStringLiteral("554 no service here")));
        QCOMPARE(server.receivedLines(), QList<QByteArray>());
    }

private:
    QTemporaryDir m_dataDir;
};

QTEST_MAIN(TestSmtpSettings)
#include "tst_smtpsettings.moc"
