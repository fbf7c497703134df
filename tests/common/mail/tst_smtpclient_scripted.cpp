#include "EmailAddress.h"
#include "FreePort.h"
#include "MimeMessage.h"
#include "MimeText.h"
#include "ScriptedTcpServer.h"
#include "SmtpClient.h"
#include "TestCertificates.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <functional>

using namespace NVL::Engineering::VK;

using Connection = ScriptedTcpServer::Connection;

namespace {

QList<SmtpClient::SmtpError> errorsOf(const QSignalSpy &spy)
{
    QList<SmtpClient::SmtpError> errors;
    for (const QList<QVariant> &arguments : spy)
        errors << arguments.at(0).value<SmtpClient::SmtpError>();
    return errors;
}

void greet(Connection &connection)
{
    QByteArray line;
    connection.send("220 scripted.test ESMTP\r\n");
    if (connection.readLine(&line))
        connection.send("250 scripted.test\r\n");
}

// Answers each command through `reply`; after a 354 it collects the data up to the
// lone "." and asks `reply` for the answer to "<end-of-data>". Ends after QUIT
// (unanswered, so the client must not wait for it) or when the client goes away.
void respond(Connection &connection, const std::function<QByteArray(const QByteArray &)> &reply)
{
    greet(connection);
    QByteArray line;
    while (connection.readLine(&line)) {
        if (line == "QUIT") {
            connection.waitForDisconnected();
            return;
        }
        const QByteArray answer = reply(line);
        connection.send(answer);
        if (answer.startsWith("354")) {
            while (connection.readLine(&line) && line != ".") {
            }
            connection.send(reply("<end-of-data>"));
        }
    }
}

QByteArray acceptAll(const QByteArray &command)
{
    if (command == "DATA")
        return "354 go ahead\r\n";
    if (command.startsWith("AUTH"))
        return "235 ok\r\n";
    return "250 ok\r\n";
}

} // namespace

class TestSmtpClientScripted : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void greetingRefused();
    void serverThatNeverAnswers();
    void connectionRefused();
    void multiLineEhloInPieces();
    void multiLineEhloInOneSegment();
    void startTlsRefused();
    void startTlsSequence();
    void authLoginDialogue();
    void envelopeAndDotStuffing();
    void failedTransactionIsReset();
    void unsafeMessagesAreRefused();
    void quitOnDeadConnection();
    void bareReplyCodeIsFinal();
    void failedStartTlsSendsNothingMore_data();
    void failedStartTlsSendsNothingMore();
    void nothingGoesOutWithoutConnection();

private:
    QTemporaryDir m_certificateFolder;
    TestCertificates m_certificates;
};

void TestSmtpClientScripted::initTestCase()
{
    QVERIFY(m_certificateFolder.isValid());
    QVERIFY2(m_certificates.create(m_certificateFolder.path()), qPrintable(m_certificates.errorString()));
    QVERIFY(m_certificates.trustInThisProcess());
}

void TestSmtpClientScripted::greetingRefused()
{
    ScriptedTcpServer server([](Connection &connection) {
        connection.send("554 5.3.2 No service here\r\n");
        connection.waitForDisconnected();
    });
    QVERIFY(server.start());
    {
        SmtpClient client(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QVERIFY(!client.connectToServer());
        QCOMPARE(errorsOf(spy), (QList<SmtpClient::SmtpError>{SmtpClient::CommandFailure, SmtpClient::ServerFailure}));
        QCOMPARE(client.getReplyCode(), 554);
        QCOMPARE(client.getReplyText(), QStringLiteral("554 5.3.2 No service here\r\n"));
    }
    QVERIFY(server.waitForFinished());
    QVERIFY(server.receivedLines().isEmpty()); // no EHLO after a refused greeting
}

void TestSmtpClientScripted::serverThatNeverAnswers()
{
    ScriptedTcpServer server([](Connection &connection) { connection.waitForDisconnected(15000); });
    QVERIFY(server.start());
    {
        SmtpClient client(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!client.connectToServer());
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(elapsed >= 4900 && elapsed < 9000, qPrintable(QString::number(elapsed)));
        QCOMPARE(errorsOf(spy), QList<SmtpClient::SmtpError>{SmtpClient::ReplyTimeout});
    }
    QVERIFY(server.waitForFinished());
}

void TestSmtpClientScripted::connectionRefused()
{
    const quint16 freePort = NVL::Engineering::VK::freeRadioPort();
    QVERIFY(freePort != 0);
    SmtpClient client(QStringLiteral("127.0.0.1"), freePort);
    QSignalSpy spy(&client, &SmtpClient::smtpError);
    QVERIFY(!client.connectToServer());
    QCOMPARE(errorsOf(spy), QList<SmtpClient::SmtpError>{SmtpClient::ConnectTimeout});
}

void TestSmtpClientScripted::multiLineEhloInPieces()
{
    std::atomic<bool> waitedForFinalLine{false};
    ScriptedTcpServer server([&](Connection &connection) {
        QByteArray line;
        connection.send("220 scripted.test ESMTP\r\n");
        if (!connection.readLine(&line))
            return;
        connection.send("250-scripted.test greets localhost\r\n250-8BITMIME\r\n");
        // A client that took "250-" for the end would already send its next command.
        waitedForFinalLine = connection.staysSilent(300);
        connection.send("250 AUTH PLAIN LOGIN\r\n");
        if (connection.readLine(&line))
            connection.send("235 2.7.0 ok\r\n");
        if (connection.readLine(&line))
            connection.waitForDisconnected();
    });
    QVERIFY(server.start());
    {
        SmtpClient client(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QVERIFY(client.connectToServer());
        QCOMPARE(client.getReplyText(), QStringLiteral("250 AUTH PLAIN LOGIN\r\n"));
        QVERIFY(client.login(QStringLiteral("user"), QStringLiteral("pässword")));
        client.quit();
        QVERIFY(spy.isEmpty());
    }
    QVERIFY(server.waitForFinished());
    QVERIFY(waitedForFinalLine);
    const QByteArray plain("\0user\0p\xC3\xA4ssword", 15);
    QCOMPARE(server.receivedLines(),
             (QList<QByteArray>{"EHLO localhost", "AUTH PLAIN " + plain.toBase64(), "QUIT"}));
}

void TestSmtpClientScripted::multiLineEhloInOneSegment()
{
    ScriptedTcpServer server([](Connection &connection) {
        QByteArray line;
        connection.send("220-scripted.test first greeting line\r\n220 second\r\n");
        if (!connection.readLine(&line))
            return;
        connection.send("250-scripted.test\r\n250-SIZE 1000\r\n250 HELP\r\n");
        if (connection.readLine(&line))
            connection.send(line == "AUTH PLAIN AAA=" ? "235 ok\r\n" : "535 wrong\r\n");
        connection.waitForDisconnected();
    });
    QVERIFY(server.start());
    {
        SmtpClient client(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QVERIFY(client.connectToServer());
        // An unknown mechanism sends nothing and counts as done.
        QVERIFY(client.login(QStringLiteral("u"), QStringLiteral("p"), static_cast<SmtpClient::SaslMechanism>(7)));
        // Empty credentials still send the two zero bytes.
        QVERIFY(client.login());
        QCOMPARE(client.getReplyCode(), 235);
        QVERIFY(spy.isEmpty());
    }
    QVERIFY(server.waitForFinished());
    QCOMPARE(server.receivedLines(), (QList<QByteArray>{"EHLO localhost", "AUTH PLAIN AAA="}));
}

void TestSmtpClientScripted::startTlsRefused()
{
    ScriptedTcpServer server([](Connection &connection) {
        QByteArray line;
        greet(connection);
        if (connection.readLine(&line))
            connection.send("454 4.7.0 TLS not available\r\n");
        connection.waitForDisconnected();
    });
    QVERIFY(server.start());
    {
        SmtpClient client(QStringLiteral("127.0.0.1"), server.port(), SecurityType::StartTls);
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QVERIFY(!client.connectToServer());
        QCOMPARE(errorsOf(spy), (QList<SmtpClient::SmtpError>{SmtpClient::ServerFailure, SmtpClient::ServerFailure}));
    }
    QVERIFY(server.waitForFinished());
    QCOMPARE(server.receivedLines(), (QList<QByteArray>{"EHLO localhost", "STARTTLS"}));
}

void TestSmtpClientScripted::startTlsSequence()
{
    std::atomic<bool> handshakeDone{false};
    ScriptedTcpServer server([&](Connection &connection) {
        QByteArray line;
        greet(connection);
        if (!connection.readLine(&line) || line != "STARTTLS")
            return;
        // A reply smuggled in behind the 220, in clear, as a man in the middle could.
        connection.send("220 2.0.0 ready\r\n554 injected\r\n");
        if (!connection.startTls())
            return;
        handshakeDone = true;
        if (connection.readLine(&line))
            connection.send("250 secure.test\r\n");
        if (connection.readLine(&line))
            connection.send("235 ok\r\n");
        connection.waitForDisconnected();
    });
    server.setTlsIdentity(m_certificates.serverCertificateFile(), m_certificates.serverKeyFile());
    QVERIFY(server.start());
    {
        SmtpClient client(QStringLiteral("localhost"), server.port(), SecurityType::StartTls);
        QCOMPARE(client.getConnectionType(), SecurityType::StartTls);
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QVERIFY2(client.connectToServer(), qPrintable(client.getReplyText()));
        QCOMPARE(client.getReplyText(), QStringLiteral("250 secure.test\r\n"));
        QVERIFY(client.login());
        QVERIFY(spy.isEmpty());
    }
    QVERIFY(server.waitForFinished());
    QVERIFY(handshakeDone);
    // The second EHLO and the login were read by the server after the handshake.
    QCOMPARE(server.receivedLines(),
             (QList<QByteArray>{"EHLO localhost", "STARTTLS", "EHLO localhost", "AUTH PLAIN AAA="}));
}

void TestSmtpClientScripted::authLoginDialogue()
{
    ScriptedTcpServer server([](Connection &connection) {
        QByteArray line;
        greet(connection);
        // First attempt succeeds, the second is refused at the password.
        for (const char *last : {"235 2.7.0 welcome\r\n", "535 5.7.8 bad credentials\r\n"}) {
            if (!connection.readLine(&line) || line != "AUTH LOGIN")
                return;
            connection.send("334 VXNlcm5hbWU6\r\n");
            if (!connection.readLine(&line))
                return;
            connection.send("334 UGFzc3dvcmQ6\r\n");
            if (!connection.readLine(&line))
                return;
            connection.send(last);
        }
        connection.waitForDisconnected();
    });
    QVERIFY(server.start());
    {
        // The configuration's security value selects the type.
        SmtpClient client(QStringLiteral("127.0.0.1"), server.port(), SecurityType::PlainTcp);
        QCOMPARE(client.getConnectionType(), SecurityType::PlainTcp);
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QVERIFY(client.connectToServer());
        client.setUser(QStringLiteral("jörg"));
        client.setPassword(QStringLiteral("s3cret"));
        client.setMechanism(SmtpClient::Login);
        QVERIFY(client.login());
        QVERIFY(spy.isEmpty());
        QVERIFY(!client.login());
        QCOMPARE(errorsOf(spy), (QList<SmtpClient::SmtpError>{SmtpClient::CommandFailure, SmtpClient::LoginFailed}));
    }
    QVERIFY(server.waitForFinished());
    const QByteArray user = QStringLiteral("jörg").toUtf8().toBase64();
    const QByteArray password = QByteArray("s3cret").toBase64();
    QCOMPARE(server.receivedLines(), (QList<QByteArray>{"EHLO localhost", "AUTH LOGIN", user, password,
                                                         "AUTH LOGIN", user, password}));
}

void TestSmtpClientScripted::envelopeAndDotStuffing()
{
    ScriptedTcpServer server([](Connection &connection) { respond(connection, acceptAll); });
    QVERIFY(server.start());

    EmailAddress sender(QStringLiteral("ops@norvale.test"), QStringLiteral("Ops"));
    EmailAddress to(QStringLiteral("to@norvale.test"), QStringLiteral("To"));
    EmailAddress cc(QStringLiteral("cc@norvale.test"));
    EmailAddress bcc(QStringLiteral("bcc@norvale.test"), QStringLiteral("Hidden"));
    EmailAddress to2(QStringLiteral("to2@norvale.test"));
    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&bcc, MimeMessage::Bcc);
    message.addRecipient(&cc, MimeMessage::Cc);
    message.addRecipient(&to);
    message.addRecipient(&to2);
    message.setSubject(QStringLiteral("Dots"));
    MimeText text(QStringLiteral("first\r\n.\r\n.hidden\r\nlast"));
    message.addPart(&text);

    qint64 quitTime = 0;
    {
        SmtpClient client(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QVERIFY(client.connectToServer());
        QVERIFY(client.sendMail(message));
        QElapsedTimer timer;
        timer.start();
        client.quit(); // the script never answers QUIT
        quitTime = timer.elapsed();
        QVERIFY(spy.isEmpty());
    }
    QVERIFY(server.waitForFinished());
    QVERIFY2(quitTime < 2000, qPrintable(QString::number(quitTime)));

    const QList<QByteArray> lines = server.receivedLines();
    QVERIFY(lines.size() > 10);
    QCOMPARE(lines.mid(0, 6), (QList<QByteArray>{"EHLO localhost", "MAIL FROM: <ops@norvale.test>",
                                                 "RCPT TO: <to@norvale.test>", "RCPT TO: <to2@norvale.test>",
                                                 "RCPT TO: <cc@norvale.test>", "RCPT TO: <bcc@norvale.test>"}));
    QCOMPARE(lines.at(6), QByteArray("DATA"));
    QCOMPARE(lines.last(), QByteArray("QUIT"));
    QCOMPARE(lines.at(lines.size() - 2), QByteArray("."));

    const QList<QByteArray> data = lines.mid(7, lines.size() - 9);
    QCOMPARE(data.first(), QByteArray("From: Ops <ops@norvale.test>"));
    QVERIFY(!data.contains("."));       // the data did not end early
    QCOMPARE(data.count(".."), 1);      // the body's lone dot, stuffed
    QCOMPARE(data.count("..hidden"), 1);
    QList<QByteArray> unstuffed;
    for (const QByteArray &line : data)
        unstuffed << (line.startsWith('.') ? line.mid(1) : line);
    QVERIFY(unstuffed.join("\r\n").contains("\r\n\r\nfirst\r\n.\r\n.hidden\r\nlast\r\n"));
    for (const QByteArray &line : data)
        QVERIFY(!line.contains("bcc@norvale.test"));
}

void TestSmtpClientScripted::failedTransactionIsReset()
{
    int message = 0;
    ScriptedTcpServer server([&message](Connection &connection) {
        respond(connection, [&message](const QByteArray &command) -> QByteArray {
            if (command.startsWith("MAIL"))
                ++message;
            if (command == "RSET")
                return "250 flushed\r\n";
            // 1: recipient refused, 2: DATA refused, 3: final dot refused, 4: delivered.
            if (message == 1 && command.startsWith("RCPT TO: <refused"))
                return "550 5.1.1 no such user\r\n";
            if (message == 2 && command == "DATA")
                return "554 5.5.1 no valid recipients\r\n";
            if (message == 3 && command == "<end-of-data>")
                return "452 4.3.1 insufficient storage\r\n";
            return acceptAll(command);
        });
    });
    QVERIFY(server.start());

    EmailAddress sender(QStringLiteral("ops@norvale.test"));
    EmailAddress refused(QStringLiteral("refused@norvale.test"));
    EmailAddress later(QStringLiteral("later@norvale.test"));
    EmailAddress good(QStringLiteral("good@norvale.test"));
    MimeText text(QStringLiteral("body"));
    MimeMessage first;
    first.setSender(&sender);
    first.addRecipient(&refused);
    first.addRecipient(&later);
    first.addPart(&text);
    MimeMessage second;
    second.setSender(&sender);
    second.addRecipient(&good);
    second.addPart(&text);

    {
        SmtpClient client(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QVERIFY(client.connectToServer());
        QVERIFY(!client.sendMail(first));
        QCOMPARE(errorsOf(spy), QList<SmtpClient::SmtpError>{SmtpClient::CommandFailure});
        QVERIFY(!client.sendMail(second));
        QVERIFY(!client.sendMail(second));
        QCOMPARE(errorsOf(spy), (QList<SmtpClient::SmtpError>{SmtpClient::CommandFailure, SmtpClient::CommandFailure,
                                                               SmtpClient::ServerFailure}));
        QVERIFY(client.sendMail(second));
        client.quit();
    }
    QVERIFY(server.waitForFinished());

    QList<QByteArray> commands;
    bool inData = false;
    for (const QByteArray &line : server.receivedLines()) {
        if (inData) {
            inData = line != ".";
            if (inData)
                continue;
        }
        commands << line;
        // The first DATA on the wire (second message) is refused and carries no data.
        inData = line == "DATA" && commands.count("DATA") != 1;
    }
    QCOMPARE(commands, (QList<QByteArray>{
                           "EHLO localhost",
                           "MAIL FROM: <ops@norvale.test>", "RCPT TO: <refused@norvale.test>", "RSET",
                           "MAIL FROM: <ops@norvale.test>", "RCPT TO: <good@norvale.test>", "DATA", "RSET",
                           "MAIL FROM: <ops@norvale.test>", "RCPT TO: <good@norvale.test>", "DATA", ".", "RSET",
                           "MAIL FROM: <ops@norvale.test>", "RCPT TO: <good@norvale.test>", "DATA", ".",
                           "QUIT"}));
}

void TestSmtpClientScripted::unsafeMessagesAreRefused()
{
    ScriptedTcpServer server([](Connection &connection) { respond(connection, acceptAll); });
    QVERIFY(server.start());

    EmailAddress sender(QStringLiteral("ops@norvale.test"));
    EmailAddress to(QStringLiteral("to@norvale.test"));
    EmailAddress crlfSender(QStringLiteral("ops@norvale.test>\r\nRCPT TO: <victim@evil.test"));
    EmailAddress lfRecipient(QStringLiteral("to@norvale.test\nDATA"));
    EmailAddress crRecipient(QStringLiteral("to@norvale.test\rRSET"));
    EmailAddress bracketRecipient(QStringLiteral("to@norvale.test> NOTIFY=NEVER"));
    EmailAddress openBracket(QStringLiteral("<to@norvale.test"));

    MimeMessage noSender;
    noSender.addRecipient(&to);
    MimeMessage noRecipient;
    noRecipient.setSender(&sender);
    MimeMessage injectedSender;
    injectedSender.setSender(&crlfSender);
    injectedSender.addRecipient(&to);

    QList<EmailAddress *> badRecipients{&lfRecipient, &crRecipient, &bracketRecipient, &openBracket};
    QList<MimeMessage *> injectedRecipients;
    for (EmailAddress *bad : badRecipients) {
        for (const MimeMessage::RecipientKind kind : {MimeMessage::To, MimeMessage::Cc, MimeMessage::Bcc}) {
            auto *message = new MimeMessage(true, this);
            message->setSender(&sender);
            message->addRecipient(&to); // a good one first: nothing may go out before the check
            message->addRecipient(bad, kind);
            injectedRecipients << message;
        }
    }

    {
        SmtpClient client(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QVERIFY(client.connectToServer());
        QVERIFY(!client.sendMail(noSender));
        QVERIFY(!client.sendMail(noRecipient));
        QVERIFY(!client.sendMail(injectedSender));
        for (MimeMessage *message : std::as_const(injectedRecipients))
            QVERIFY(!client.sendMail(*message));
        QVERIFY(spy.isEmpty());
        client.quit();
    }
    qDeleteAll(injectedRecipients);
    QVERIFY(server.waitForFinished());
    QCOMPARE(server.receivedLines(), (QList<QByteArray>{"EHLO localhost", "QUIT"}));
}

void TestSmtpClientScripted::quitOnDeadConnection()
{
    ScriptedTcpServer server([](Connection &connection) {
        greet(connection);
        connection.close();
    });
    QVERIFY(server.start());

    EmailAddress sender(QStringLiteral("ops@norvale.test"));
    EmailAddress to(QStringLiteral("to@norvale.test"));
    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&to);

    SmtpClient client(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(client.connectToServer());
    QVERIFY(server.waitForFinished());

    QSignalSpy spy(&client, &SmtpClient::smtpError);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!client.sendMail(message)); // the server is gone
    client.quit();
    client.quit();
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!spy.isEmpty());
    QVERIFY(errorsOf(spy).contains(SmtpClient::SendTimeout));

    // Never connected at all: quit returns at once, with nothing to send and nothing to report.
    SmtpClient idle(QStringLiteral("127.0.0.1"), server.port());
    QSignalSpy idleSpy(&idle, &SmtpClient::smtpError);
    idle.quit();
    QVERIFY(idleSpy.isEmpty());
}

void TestSmtpClientScripted::bareReplyCodeIsFinal()
{
    // Every reply is the code alone ("250" and the line end), which is complete in SMTP.
    ScriptedTcpServer server([](Connection &connection) {
        QByteArray line;
        connection.send("220\r\n");
        while (connection.readLine(&line)) {
            if (line == "QUIT")
                break;
            connection.send(line == "DATA" ? "354\r\n" : line.startsWith("AUTH") ? "235\r\n" : "250\r\n");
            if (line == "DATA") {
                while (connection.readLine(&line) && line != ".") {
                }
                connection.send("250\r\n");
            }
        }
        connection.waitForDisconnected();
    });
    QVERIFY(server.start());
    EmailAddress sender(QStringLiteral("ops@norvale.test"));
    EmailAddress to(QStringLiteral("to@norvale.test"));
    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&to);
    {
        SmtpClient client(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(client.connectToServer());
        QVERIFY(client.login(QStringLiteral("u"), QStringLiteral("p")));
        QVERIFY(client.sendMail(message));
        QCOMPARE(client.getReplyText(), QStringLiteral("250\r\n"));
        QCOMPARE(client.getReplyCode(), 250);
        client.quit();
        // Waiting for more after "250" would cost the 5 s reply limit per command.
        QVERIFY2(timer.elapsed() < 4000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(spy.isEmpty());
    }
    QVERIFY(server.waitForFinished());
    QCOMPARE(server.receivedLines().last(), QByteArray("QUIT"));
}

void TestSmtpClientScripted::failedStartTlsSendsNothingMore_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("handshake");
    QTest::newRow("503 refusal") << QByteArray("503 5.5.1 Bad sequence of commands\r\n") << false;
    QTest::newRow("454 refusal") << QByteArray("454 4.7.0 TLS not available\r\n") << false;
    QTest::newRow("failed handshake") << QByteArray("220 2.0.0 ready\r\n") << true;
}

void TestSmtpClientScripted::failedStartTlsSendsNothingMore()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, handshake);
    // Every byte the client sends after the answer to STARTTLS, as the server sees it.
    QByteArray afterAnswer;
    ScriptedTcpServer server([&](Connection &connection) {
        QByteArray line;
        greet(connection);
        if (!connection.readLine(&line) || line != "STARTTLS")
            return;
        connection.send(answer);
        QTcpSocket *socket = connection.socket();
        if (handshake) {
            // The client's TLS hello is answered with text, which no handshake survives.
            if (!socket->waitForReadyRead(5000))
                return;
            const QByteArray hello = socket->readAll();
            if (!hello.startsWith('\x16'))
                afterAnswer += hello; // not a TLS record: counts against the client
            connection.send("500 5.5.1 this is no TLS\r\n");
        }
        while (socket->state() == QAbstractSocket::ConnectedState && socket->waitForReadyRead(3000))
            afterAnswer += socket->readAll();
        afterAnswer += socket->readAll();
    });
    QVERIFY(server.start());

    EmailAddress sender(QStringLiteral("ops@norvale.test"));
    EmailAddress to(QStringLiteral("to@norvale.test"));
    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&to);
    MimeText body(QStringLiteral("report"));
    message.addPart(&body);
    {
        SmtpClient client(QStringLiteral("localhost"), server.port(), SecurityType::StartTls);
        client.setMechanism(SmtpClient::Login);
        client.setUser(QStringLiteral("vk"));
        client.setPassword(QStringLiteral("secret"));
        QVERIFY(!client.connectToServer());
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!client.login());
        QVERIFY(!client.login(QStringLiteral("vk"), QStringLiteral("secret"), SmtpClient::Plain));
        QVERIFY(!client.sendMail(message));
        client.quit();
        QVERIFY(timer.elapsed() < 1000); // refused at once, no waits
        QVERIFY(spy.isEmpty());
    }
    QVERIFY(server.waitForFinished());
    QCOMPARE(server.receivedLines(), (QList<QByteArray>{"EHLO localhost", "STARTTLS"}));
    QVERIFY2(afterAnswer.isEmpty() || afterAnswer == "QUIT\r\n", afterAnswer.constData());
}

void TestSmtpClientScripted::nothingGoesOutWithoutConnection()
{
    // A refused greeting, and a client never connected: login and sendMail return false
    // without a byte on the wire, quit sends no QUIT.
    ScriptedTcpServer server([](Connection &connection) {
        connection.send("554 5.3.2 No service here\r\n");
        connection.waitForDisconnected();
    });
    QVERIFY(server.start());
    EmailAddress sender(QStringLiteral("ops@norvale.test"));
    EmailAddress to(QStringLiteral("to@norvale.test"));
    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&to);
    {
        SmtpClient client(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(!client.connectToServer());
        QVERIFY(!client.login(QStringLiteral("vk"), QStringLiteral("secret"), SmtpClient::Login));
        QVERIFY(!client.sendMail(message));
        client.quit();
    }
    QVERIFY(server.waitForFinished());
    QVERIFY(server.receivedLines().isEmpty());

    SmtpClient never(QStringLiteral("127.0.0.1"), 1);
    QSignalSpy spy(&never, &SmtpClient::smtpError);
    QVERIFY(!never.login(QStringLiteral("vk"), QStringLiteral("secret"), SmtpClient::Plain));
    QVERIFY(!never.sendMail(message));
    QVERIFY(spy.isEmpty());
}

QTEST_GUILESS_MAIN(TestSmtpClientScripted)
#include "tst_smtpclient_scripted.moc"
