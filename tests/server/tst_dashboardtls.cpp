// The dashboard over TLS with sign-in, on the real server: what keeps the HTTP side from starting, and a
// browser that trusts only a certificate authority made here signing in, seeing the overview and signing
// out, while wrong tokens from one address are refused for longer and longer.
#include "ChromiumDriver.h"
#include "RadioPeer.h"
#include "TestCertificates.h"
#include "VoltkeepProcess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace NVL::Engineering::VK;

namespace {

const QString Loopback = QStringLiteral("127.0.0.1");
const QByteArray Token = "s3cret token+&";

} // namespace

class TestDashboardTls : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    TestCertificates m_certificates;
    QNetworkAccessManager m_network;

    // A server in a folder of its own with these [http] lines, started; its HTTP port in `httpPort`.
    std::unique_ptr<VoltkeepProcess> startServer(const QByteArray &httpLines, quint16 &httpPort)
    {
        auto server = std::make_unique<VoltkeepProcess>(m_dir.filePath(QString::number(VoltkeepProcess::freePort())));
        server->setPort(VoltkeepProcess::freePort());
        httpPort = VoltkeepProcess::freePort();
        QFile cfg(server->dataFolder() + QStringLiteral("/vk.cfg"));
        if (!cfg.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return nullptr;
        QByteArray lines = httpLines;
        cfg.write("[General]\nport=" + QByteArray::number(server->port()) + "\n[http]\n"
                  + lines.replace("PORT", QByteArray::number(httpPort)).replace("DIR", m_dir.path().toUtf8()));
        cfg.close();
        return server->start() ? std::move(server) : nullptr;
    }

    QNetworkReply *signIn(quint16 port, const QByteArray &token)
    {
        QNetworkRequest request(QUrl(QStringLiteral("https://127.0.0.1:%1/signin").arg(port)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
        QNetworkReply *reply = m_network.post(request, "token=" + QUrl::toPercentEncoding(QString::fromUtf8(token)));
        reply->setParent(this);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(10000);
        return reply;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_network.setProxy(QNetworkProxy::NoProxy);
        m_network.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_certificates.create(m_dir.path()), qPrintable(m_certificates.errorString()));
        QVERIFY(m_certificates.trustInThisProcess());
        QVERIFY2(m_certificates.createExpired(), qPrintable(m_certificates.errorString()));
        // A copy of the key that every user may read.
        QVERIFY(QFile::copy(m_certificates.serverKeyFile(), m_dir.filePath(QStringLiteral("open.key"))));
        QVERIFY(QFile::setPermissions(m_dir.filePath(QStringLiteral("open.key")),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        // The server sends the authority with its certificate, so that a browser told to trust the
        // authority's key finds it in what it is sent.
        QFile chain(m_dir.filePath(QStringLiteral("chain.crt")));
        QFile server(m_certificates.serverCertificateFile());
        QFile ca(m_certificates.caCertificateFile());
        QVERIFY(chain.open(QIODevice::WriteOnly) && server.open(QIODevice::ReadOnly) && ca.open(QIODevice::ReadOnly));
        chain.write(server.readAll() + ca.readAll());
    }

    void httpSideRefused_data()
    {
        QTest::addColumn<QByteArray>("http");
        QTest::addColumn<QString>("error");
        const QByteArray tls = "certificate=DIR/server.crt\nkey=DIR/server.key\n";
        QTest::newRow("other address without TLS")
            << QByteArray("listen=0.0.0.0:PORT\ntoken=t\n") << "is not a loopback address, and outside the machine the API needs TLS";
        QTest::newRow("other address without token") << "listen=0.0.0.0:PORT\n" + tls
                                                     << "is not a loopback address, and outside the machine the API needs [http] token";
        QTest::newRow("key of another certificate")
            << QByteArray("listen=127.0.0.1:PORT\ncertificate=DIR/server.crt\nkey=DIR/ca.key\n")
            << QStringLiteral("[http] key=%1/ca.key does not belong to certificate=").arg(m_dir.path());
        QTest::newRow("certificate missing") << QByteArray("listen=127.0.0.1:PORT\ncertificate=DIR/none.crt\nkey=DIR/server.key\n")
                                             << QStringLiteral("[http] certificate=%1/none.crt cannot be read").arg(m_dir.path());
        QTest::newRow("certificate expired") << QByteArray("listen=127.0.0.1:PORT\ncertificate=DIR/expired.crt\nkey=DIR/server.key\n")
                                             << QStringLiteral("[http] certificate=%1/expired.crt expired on ").arg(m_dir.path());
        QTest::newRow("key readable by all") << QByteArray("listen=127.0.0.1:PORT\ncertificate=DIR/server.crt\nkey=DIR/open.key\n")
                                             << QStringLiteral("[http] key=%1/open.key can be read by every user").arg(m_dir.path());
    }

    void httpSideRefused()
    {
        QFETCH(QByteArray, http);
        QFETCH(QString, error);
        quint16 httpPort = 0;
        const auto server = startServer(http, httpPort);
        QVERIFY(server);
        QCOMPARE(server->countInLog(QStringLiteral("Error: HTTP API not started: ")), 1);
        QVERIFY2(server->log().contains(error), qPrintable(server->log()));
        QCOMPARE(server->countInLog(QStringLiteral("HTTP API listening")), 0);
        RadioPeer peer(Loopback, server->port());
        QVERIFY(peer.connectToServer());
        QVERIFY(peer.version().has_value());
    }

    void browserSignsInOverTlsAndGuessesSlowDown()
    {
        quint16 port = 0;
        const auto server = startServer("listen=127.0.0.1:PORT\ntoken=" + Token + "\ncertificate=DIR/chain.crt\nkey=DIR/server.key\n", port);
        QVERIFY(server);
        QVERIFY(server->log().contains(QStringLiteral("HTTP API listening on 127.0.0.1:%1 (TLS, bearer token required)").arg(port)));
        // The test authority signs for two days: served, with one Warning of its end.
        QCOMPARE(server->countInLog(QStringLiteral("Warning: HTTP: [http] certificate=%1/chain.crt expires on ").arg(m_dir.path())), 1);

        // The browser trusts the server's certificate through the authority's key alone.
        const QSslCertificate ca = QSslCertificate::fromPath(m_certificates.caCertificateFile()).value(0);
        const QByteArray caKey = QCryptographicHash::hash(ca.publicKey().toDer(), QCryptographicHash::Sha256).toBase64();
        ChromiumDriver browser;
        QString reason;
        if (!browser.start(reason, {QStringLiteral("--ignore-certificate-errors-spki-list=") + QString::fromLatin1(caKey)}))
            QSKIP(qPrintable(QStringLiteral("no browser to test the sign-in in: ") + reason));
        const QString origin = QStringLiteral("https://127.0.0.1:%1").arg(port);
        const auto submit = [&browser](const QByteArray &token) {
            return browser.evaluate(QStringLiteral("document.querySelector('input[name=token]').value = %1;"
                                                   "document.querySelector('form').submit(); true")
                                        .arg(QString::fromUtf8(QJsonDocument(QJsonArray{QString::fromUtf8(token)}).toJson(QJsonDocument::Compact)).mid(1).chopped(1)))
                .toBool();
        };
        QVERIFY(browser.navigate(origin + QStringLiteral("/")));
        QCOMPARE(browser.evaluate(QStringLiteral("location.pathname + location.search")).toString(), QStringLiteral("/signin?next=%2F"));
        const QString shots = qEnvironmentVariable("VK_DASHBOARD_SHOTS", QDir::tempPath() + QStringLiteral("/vk-dashboard-shots"));
        QDir().mkpath(shots);
        QVERIFY(browser.screenshot(shots + QStringLiteral("/signin.png"), 1280, 700));
        QVERIFY(submit("wrong"));
        QVERIFY(browser.waitUntil(QStringLiteral("document.querySelector('.problem')?.textContent == 'That is not the token.'")));
        QVERIFY(submit(Token));
        QVERIFY(browser.waitUntil(QStringLiteral("document.querySelector('h1')?.textContent == 'Fleet overview'")));
        QCOMPARE(browser.evaluate(QStringLiteral("document.cookie")).toString(), QString()); // script never sees it
        QVERIFY(browser.evaluate(QStringLiteral("document.querySelector('a.signout').click(); true")).toBool());
        QVERIFY(browser.waitUntil(QStringLiteral("location.pathname == '/signin'")));
        QVERIFY(browser.navigate(origin + QStringLiteral("/batteries")));
        QCOMPARE(browser.evaluate(QStringLiteral("location.pathname")).toString(), QStringLiteral("/signin"));

        const QNetworkReply *right = signIn(port, Token);
        QCOMPARE(right->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 303);
        const QByteArray cookie = right->rawHeader("Set-Cookie");
        QVERIFY2(cookie.startsWith("vk_session=") && cookie.contains("; HttpOnly") && cookie.contains("; Secure")
                     && cookie.contains("; SameSite=Strict") && cookie.contains("; Max-Age=43200"),
                 cookie.constData());

        // Five wrong tokens are answered; then the address waits, longer after each wrong one, the right
        // token included while it waits.
        for (int i = 0; i < 5; ++i)
            QCOMPARE(signIn(port, "guess")->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 403);
        const QNetworkReply *refused = signIn(port, Token);
        QCOMPARE(refused->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 429);
        QCOMPARE(refused->rawHeader("Retry-After"), QByteArray("1"));
        int status = 429;
        for (const QDeadlineTimer deadline(5000); status == 429 && !deadline.hasExpired(); QTest::qWait(status == 429 ? 100 : 0))
            status = signIn(port, "guess")->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QCOMPARE(status, 403);
        QCOMPARE(signIn(port, "guess")->rawHeader("Retry-After"), QByteArray("2"));
        QCOMPARE(server->countInLog(QStringLiteral("wrong tokens from 127.0.0.1")), 1);

        // Plain HTTP on the TLS port: the handshake fails, logged once.
        for (int i = 0; i < 2; ++i) {
            QTcpSocket plain;
            plain.connectToHost(Loopback, port);
            QVERIFY(plain.waitForConnected(5000));
            plain.write("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
            QVERIFY(plain.waitForDisconnected(5000));
        }
        QVERIFY(server->waitForLog(QStringLiteral("HTTPS handshake with 127.0.0.1 failed")));
        QCOMPARE(server->countInLog(QStringLiteral("HTTPS handshake with 127.0.0.1 failed")), 1);
        // The wrong token's answer (403) is all the browser complains of.
        QVERIFY2(browser.problems().size() == 1 && browser.problems().first().contains(QLatin1String("status of 403")),
                 qPrintable(browser.problems().join(QLatin1Char('\n'))));
    }
};

QTEST_GUILESS_MAIN(TestDashboardTls)
#include "tst_dashboardtls.moc"
