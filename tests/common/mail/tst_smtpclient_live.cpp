#include "EmailAddress.h"
#include "MimeHtml.h"
#include "MimeInlineFile.h"
#include "MimeMessage.h"
#include "MimeText.h"
#include "SmtpClient.h"
#include "SmtpTestServer.h"
#include "TestCertificates.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace NVL::Engineering::VK;

namespace {

using Tls = SmtpTestServer::Tls;

QList<SmtpClient::SmtpError> errorsOf(const QSignalSpy &spy)
{
    QList<SmtpClient::SmtpError> errors;
    for (const QList<QVariant> &arguments : spy)
        errors << arguments.at(0).value<SmtpClient::SmtpError>();
    return errors;
}

// The Date line is the only part of a rendering that changes from call to call.
QByteArray withoutDate(QByteArray text)
{
    const int start = text.indexOf("\r\nDate: ");
    if (start >= 0)
        text.remove(start, text.indexOf("\r\n", start + 2) - start);
    return text;
}

// One message with everything the programs put in: names, Cc and Bcc, an HTML part
// with non-ASCII text and dot lines, and an inline image.
struct Mail
{
    explicit Mail(const QString &imagePath, const QString &subject, const QString &to = QStringLiteral("admin@norvale.test"))
        : sender(QStringLiteral("voltkeep@norvale.test"), QStringLiteral("Voltkeep")),
          toAddress(to, QStringLiteral("Admin")),
          cc(QStringLiteral("cc@norvale.test")),
          bcc(QStringLiteral("hidden@norvale.test"), QStringLiteral("Hidden")),
          html(QStringLiteral("<p>Akku „Süd 3“ schwach</p>\r\n.\r\n..two\r\n<img src=\"cid:tamsel\">")),
          image(new QFile(imagePath))
    {
        message.setSender(&sender);
        message.addRecipient(&toAddress);
        message.addRecipient(&cc, MimeMessage::Cc);
        message.addRecipient(&bcc, MimeMessage::Bcc);
        message.setSubject(subject);
        image.setContentId(QStringLiteral("tamsel"));
        image.setContentType(QStringLiteral("image/png"));
        message.addPart(&html);
        message.addPart(&image);
    }

    EmailAddress sender;
    EmailAddress toAddress;
    EmailAddress cc;
    EmailAddress bcc;
    MimeHtml html;
    MimeInlineFile image;
    MimeMessage message;
};

} // namespace

class TestSmtpClientLive : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void plainTcpDelivery();
    void twoMessagesInOneSession();
    void startTlsWithLogin();
    void implicitTls();
    void untrustedCertificateIsRefused();
    void authenticationMechanisms();
    void refusedRecipientThenNextMessage();

private:
    std::unique_ptr<SmtpTestServer> startServer(SmtpTestServer::Options options);

    QTemporaryDir m_folder;
    TestCertificates m_trusted;
    TestCertificates m_untrusted;
    QString m_imagePath;
    QByteArray m_imageBytes;
};

void TestSmtpClientLive::initTestCase()
{
    QVERIFY(m_folder.isValid());
    QDir dir(m_folder.path());
    QVERIFY(dir.mkpath(QStringLiteral("trusted")) && dir.mkpath(QStringLiteral("untrusted")));
    QVERIFY2(m_trusted.create(dir.filePath(QStringLiteral("trusted"))), qPrintable(m_trusted.errorString()));
    QVERIFY2(m_untrusted.create(dir.filePath(QStringLiteral("untrusted"))), qPrintable(m_untrusted.errorString()));
    // Only this test process trusts the first CA; the second stays a stranger.
    QVERIFY(m_trusted.trustInThisProcess());

    m_imagePath = dir.filePath(QStringLiteral("tamsel.png"));
    for (int i = 0; i < 700; ++i)
        m_imageBytes.append(static_cast<char>((i * 131 + 7) & 0xFF));
    m_imageBytes.prepend(QByteArray("\x89PNG\r\n\x1a\n", 8));
    QFile image(m_imagePath);
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(m_imageBytes);
}

std::unique_ptr<SmtpTestServer> TestSmtpClientLive::startServer(SmtpTestServer::Options options)
{
    if (options.tls != Tls::None && options.certificateFile.isEmpty()) {
        options.certificateFile = m_trusted.serverCertificateFile();
        options.keyFile = m_trusted.serverKeyFile();
    }
    auto server = std::make_unique<SmtpTestServer>(options);
    if (!server->start()) {
        qWarning("%s", qPrintable(server->errorString()));
        return nullptr;
    }
    return server;
}

void TestSmtpClientLive::plainTcpDelivery()
{
    auto server = startServer({});
    QVERIFY(server);

    Mail mail(m_imagePath, QStringLiteral("Plain report"));
    SmtpClient client(QStringLiteral("127.0.0.1"), server->port(), SecurityType::PlainTcp);
    QSignalSpy spy(&client, &SmtpClient::smtpError);
    QVERIFY(client.connectToServer());
    QVERIFY(client.sendMail(mail.message));
    client.quit();
    QVERIFY(spy.isEmpty());

    QVERIFY(server->waitForMessages(1));
    QVERIFY(!server->waitForMessages(2, 100));
    const QList<SmtpTestServer::Message> received = server->messages();
    QCOMPARE(received.size(), 1);
    const SmtpTestServer::Message &got = received.first();
    QCOMPARE(got.mailFrom, QStringLiteral("voltkeep@norvale.test"));
    QCOMPARE(got.rcptTos, (QStringList{QStringLiteral("admin@norvale.test"), QStringLiteral("cc@norvale.test"),
                                       QStringLiteral("hidden@norvale.test")}));
    QVERIFY(!got.tls);
    QVERIFY(got.login.isEmpty());

    // After the server's unstuffing the bytes are exactly the rendering (plus the CR LF before the dot).
    const QByteArray rendered = mail.message.toString().toUtf8() + "\r\n";
    QCOMPARE(withoutDate(got.data), withoutDate(rendered));
    QVERIFY(got.data.contains("\r\nDate: "));
    QVERIFY(got.data.contains("\r\n.\r\n..two\r\n"));
    QVERIFY(!got.data.contains("hidden@norvale.test"));
    QVERIFY(got.data.contains(QByteArray("„Süd 3“")));
    QVERIFY(got.data.contains(m_imageBytes.toBase64().left(76)));
}

void TestSmtpClientLive::twoMessagesInOneSession()
{
    auto server = startServer({});
    QVERIFY(server);

    Mail first(m_imagePath, QStringLiteral("First"));
    Mail second(m_imagePath, QStringLiteral("Second"), QStringLiteral("other@norvale.test"));
    SmtpClient client(QStringLiteral("127.0.0.1"), server->port());
    QVERIFY(client.connectToServer());
    QVERIFY(client.sendMail(first.message));
    QVERIFY(client.sendMail(second.message));
    client.quit();

    const QList<SmtpTestServer::Message> received = server->messages();
    QCOMPARE(received.size(), 2);
    QCOMPARE(received.at(0).session, 1);
    QCOMPARE(received.at(1).session, 1);
    QVERIFY(received.at(0).data.contains("\r\nSubject: First\r\n"));
    QVERIFY(received.at(1).data.contains("\r\nSubject: Second\r\n"));
    QCOMPARE(received.at(1).rcptTos.first(), QStringLiteral("other@norvale.test"));
}

void TestSmtpClientLive::startTlsWithLogin()
{
    SmtpTestServer::Options options;
    options.tls = Tls::StartTls;
    options.authUser = QStringLiteral("radio");
    options.authPassword = QStringLiteral("pä55wörd");
    auto server = startServer(options);
    QVERIFY(server);

    Mail mail(m_imagePath, QStringLiteral("Over STARTTLS"));
    SmtpClient client(QStringLiteral("localhost"), server->port(), SecurityType::StartTls);
    QSignalSpy spy(&client, &SmtpClient::smtpError);
    QVERIFY(client.connectToServer());
    QVERIFY(client.login(QStringLiteral("radio"), QStringLiteral("pä55wörd"), SmtpClient::Login));
    QVERIFY(client.sendMail(mail.message));
    client.quit();
    QVERIFY2(spy.isEmpty(), qPrintable(client.getReplyText()));

    const QList<SmtpTestServer::Message> received = server->messages();
    QCOMPARE(received.size(), 1);
    QVERIFY(received.first().tls);
    QCOMPARE(received.first().login, QStringLiteral("radio"));
}

void TestSmtpClientLive::implicitTls()
{
    SmtpTestServer::Options options;
    options.tls = Tls::Implicit;
    auto server = startServer(options);
    QVERIFY(server);

    Mail mail(m_imagePath, QStringLiteral("Inside TLS"));
    SmtpClient client(QStringLiteral("localhost"), server->port(), SecurityType::ImplicitTls);
    QSignalSpy spy(&client, &SmtpClient::smtpError);
    QVERIFY(client.connectToServer());
    QVERIFY(client.sendMail(mail.message));
    client.quit();
    QVERIFY(spy.isEmpty());

    const QList<SmtpTestServer::Message> received = server->messages();
    QCOMPARE(received.size(), 1);
    QVERIFY(received.first().tls);
    QVERIFY(received.first().data.contains("\r\nSubject: Inside TLS\r\n"));
}

void TestSmtpClientLive::untrustedCertificateIsRefused()
{
    Mail mail(m_imagePath, QStringLiteral("Must not leave"));
    for (const Tls tls : {Tls::StartTls, Tls::Implicit}) {
        SmtpTestServer::Options options;
        options.tls = tls;
        options.certificateFile = m_untrusted.serverCertificateFile();
        options.keyFile = m_untrusted.serverKeyFile();
        auto server = startServer(options);
        QVERIFY(server);

        SmtpClient client(QStringLiteral("localhost"), server->port(),
                          tls == Tls::StartTls ? SecurityType::StartTls : SecurityType::ImplicitTls);
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!client.connectToServer());
        QVERIFY(timer.elapsed() < 4500); // refused at the handshake, not by waiting
        if (tls == Tls::StartTls)
            QCOMPARE(errorsOf(spy), QList<SmtpClient::SmtpError>{SmtpClient::ConnectTimeout});
        else
            QCOMPARE(errorsOf(spy), QList<SmtpClient::SmtpError>{SmtpClient::ReplyTimeout});
        QVERIFY(!client.sendMail(mail.message));
        client.quit();
        QVERIFY(server->messages().isEmpty());
    }
}

void TestSmtpClientLive::authenticationMechanisms()
{
    SmtpTestServer::Options options;
    options.authUser = QStringLiteral("radio");
    options.authPassword = QStringLiteral("pä55wörd");
    auto server = startServer(options);
    QVERIFY(server);

    for (const SmtpClient::SaslMechanism mechanism : {SmtpClient::Plain, SmtpClient::Login}) {
        Mail mail(m_imagePath, QStringLiteral("Authenticated"));
        SmtpClient client(QStringLiteral("127.0.0.1"), server->port());
        client.setUser(QStringLiteral("radio"));
        client.setPassword(QStringLiteral("pä55wörd"));
        client.setMechanism(mechanism);
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QVERIFY(client.connectToServer());
        QVERIFY2(client.login(), qPrintable(client.getReplyText()));
        QVERIFY(client.sendMail(mail.message));
        client.quit();
        QVERIFY(spy.isEmpty());
    }
    QList<SmtpTestServer::Message> received = server->messages();
    QCOMPARE(received.size(), 2);
    QCOMPARE(received.at(0).login, QStringLiteral("radio"));
    QCOMPARE(received.at(1).login, QStringLiteral("radio"));
    QCOMPARE(received.at(1).session, 2);

    for (const SmtpClient::SaslMechanism mechanism : {SmtpClient::Plain, SmtpClient::Login}) {
        Mail mail(m_imagePath, QStringLiteral("Refused"));
        SmtpClient client(QStringLiteral("127.0.0.1"), server->port());
        QSignalSpy spy(&client, &SmtpClient::smtpError);
        QVERIFY(client.connectToServer());
        QVERIFY(!client.login(QStringLiteral("radio"), QStringLiteral("wrong"), mechanism));
        QCOMPARE(errorsOf(spy).last(), SmtpClient::LoginFailed);
        QCOMPARE(client.getReplyCode(), 535);
        // The server requires a login, so the mail is refused too.
        QVERIFY(!client.sendMail(mail.message));
        client.quit();
    }
    QCOMPARE(server->messages().size(), 2);
}

void TestSmtpClientLive::refusedRecipientThenNextMessage()
{
    SmtpTestServer::Options options;
    options.refusedRecipients = QStringList{QStringLiteral("gone@norvale.test")};
    auto server = startServer(options);
    QVERIFY(server);

    Mail refused(m_imagePath, QStringLiteral("To nobody"), QStringLiteral("gone@norvale.test"));
    Mail delivered(m_imagePath, QStringLiteral("To someone"));
    SmtpClient client(QStringLiteral("127.0.0.1"), server->port());
    QSignalSpy spy(&client, &SmtpClient::smtpError);
    QVERIFY(client.connectToServer());
    QVERIFY(!client.sendMail(refused.message));
    QCOMPARE(errorsOf(spy), QList<SmtpClient::SmtpError>{SmtpClient::CommandFailure});
    QVERIFY(client.sendMail(delivered.message));
    client.quit();
    QCOMPARE(spy.size(), 1);

    const QList<SmtpTestServer::Message> received = server->messages();
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.first().session, 1);
    QCOMPARE(received.first().mailFrom, QStringLiteral("voltkeep@norvale.test"));
    QCOMPARE(received.first().rcptTos, (QStringList{QStringLiteral("admin@norvale.test"), QStringLiteral("cc@norvale.test"),
                                                    QStringLiteral("hidden@norvale.test")}));
    QVERIFY(received.first().data.contains("\r\nSubject: To someone\r\n"));
}

QTEST_GUILESS_MAIN(TestSmtpClientLive)
#include "tst_smtpclient_live.moc"
