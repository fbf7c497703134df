// The mail worker: deliveries leave the calling thread at once, go out in order with one SMTP session
// each, and a stop lets only the delivery in progress end, within the SMTP client's time-outs.
#include "MailLedger.h"
#include "MailQueue.h"
#include "MailSpool.h"
#include "MailTransport.h"
#include "NotificationDelivery.h"
#include "NotificationTestSupport.h"
#include "RecordingEventSink.h"
#include "ScriptedTcpServer.h"
#include "SmtpTestServer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>

using namespace NVL::Engineering::VK;

namespace {

// Three reply waits of the client (greeting, AUTH, MAIL FROM) of 5 s each, plus room for a slow machine.
constexpr qint64 SilentSessionBoundMs = 3 * 5000 + 4000;

PreparedMail mailTo(quint16 port, const QString &email, const QString &text)
{
    PreparedMail mail;
    mail.settings = NotificationTest::plainSmtp(port);
    mail.settings.authentication.enabled = false;
    mail.htmlRecipients.append({email, QStringLiteral("Depot")});
    mail.html = QStringLiteral("<p>%1</p>").arg(text);
    mail.plainText = text;
    return mail;
}

} // namespace

class TestMailQueue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mailsGoOutInOrderOneSessionEach()
    {
        SmtpTestServer smtp;
        QVERIFY2(smtp.start(), qPrintable(smtp.errorString()));
        // The worker records into the ledger while this thread reads it.
        MailLedger ledger;
        MailQueue queue(&MailTransport::send, NotificationDelivery::recorder(&ledger));
        QSignalSpy delivered(&queue, &MailQueue::delivered);
        QCOMPARE(queue.lastQueued(), quint64(0));
        for (int i = 1; i <= 3; ++i)
            QCOMPARE(queue.enqueue(mailTo(smtp.port(), QStringLiteral("n%1@example.test").arg(i), QString::number(i))),
                     quint64(i));
        QTRY_VERIFY_WITH_TIMEOUT(ledger.totals().reportsDelivered == 3, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(queue.isDone(3), 20000);
        QVERIFY(!delivered.isEmpty());
        QCOMPARE(delivered.last().at(0).toULongLong(), quint64(3));

        const QList<SmtpTestServer::Message> messages = smtp.messages();
        QCOMPARE(messages.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(messages.at(i).rcptTos, QStringList{QStringLiteral("n%1@example.test").arg(i + 1)});
            QCOMPARE(messages.at(i).session, i + 1);
        }
    }

    void enqueueReturnsWhileTheServerStalls()
    {
        NotificationTest::SmtpScript script;
        script.delayMs = 400;
        ScriptedTcpServer server(NotificationTest::scriptedSmtp(&script));
        QVERIFY(server.start());
        MailQueue queue(&MailTransport::send);
        QElapsedTimer clock;
        clock.start();
        const quint64 ticket = queue.enqueue(mailTo(server.port(), QStringLiteral("a@example.test"), QStringLiteral("a")));
        // The session takes seconds; the caller is back long before its first reply.
        QVERIFY(clock.elapsed() < 300);
        QVERIFY(!queue.isDone(ticket));
        QTRY_VERIFY_WITH_TIMEOUT(queue.isDone(ticket), 20000);
        QVERIFY(server.receivedLines().contains("."));
        QVERIFY(server.waitForFinished());
    }

    void stopLetsTheDeliveryInProgressEndAndDropsTheRest()
    {
        NotificationTest::SmtpScript script;
        script.delayMs = 300;
        ScriptedTcpServer server(NotificationTest::scriptedSmtp(&script));
        QVERIFY(server.start());
        MailQueue queue(&MailTransport::send);
        queue.enqueue(mailTo(server.port(), QStringLiteral("first@example.test"), QStringLiteral("first")));
        // The scripted server takes one connection only: a second session would find nobody.
        queue.enqueue(mailTo(server.port(), QStringLiteral("second@example.test"), QStringLiteral("second")));
        QVERIFY(script.mailFromSeen.tryAcquire(1, 20000));
        QCOMPARE(queue.waiting(), 1);

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(queue.stop().notBegun, 1);
        QVERIFY(clock.elapsed() < SilentSessionBoundMs);
        QVERIFY(queue.isDone(2));

        // The first mail was finished, once, and the session closed properly.
        QVERIFY(server.waitForFinished());
        const QList<QByteArray> lines = server.receivedLines();
        QCOMPARE(lines.count("DATA"), 1);
        QCOMPARE(lines.count("."), 1);
        QVERIFY(lines.contains("RCPT TO: <first@example.test>"));
        QVERIFY(!lines.contains("RCPT TO: <second@example.test>"));
        QVERIFY(lines.contains("QUIT"));

        // A stopped queue takes nothing more.
        const quint64 late = queue.enqueue(mailTo(server.port(), QStringLiteral("late@example.test"), QStringLiteral("late")));
        QCOMPARE(queue.stop().notBegun, 0);
        QVERIFY(queue.isDone(late));
    }

    // A mail waiting for another attempt holds back the later mails of its notification, not others';
    // given up when its time is over, it is one Error, and its notification's next mail goes.
    void aMailWaitingToBeTriedAgainHoldsBackOnlyItsNotification()
    {
        SmtpTestServer smtp;
        QVERIFY2(smtp.start(), qPrintable(smtp.errorString()));
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 nobody = closed.serverPort();
        closed.close();
        RecordingEventSink sink;
        MailLedger ledger;
        MailQueue::Limits limits;
        limits.retryFirstSeconds = 1;
        limits.retryForSeconds = 2;
        MailQueue queue(&MailTransport::send, NotificationDelivery::recorder(&ledger), limits);
        const auto of = [](PreparedMail mail, const char *alias) {
            mail.notificationAlias = QString::fromLatin1(alias);
            return mail;
        };
        queue.enqueue(of(mailTo(nobody, QStringLiteral("a1@example.test"), QStringLiteral("a1")), "a"));
        queue.enqueue(of(mailTo(smtp.port(), QStringLiteral("a2@example.test"), QStringLiteral("a2")), "a"));
        queue.enqueue(of(mailTo(smtp.port(), QStringLiteral("b1@example.test"), QStringLiteral("b1")), "b"));

        QVERIFY(smtp.waitForMessages(1, 20000));
        QCOMPARE(smtp.messages().first().rcptTos, QStringList{QStringLiteral("b1@example.test")});
        QVERIFY(smtp.waitForMessages(2, 20000));
        QCOMPARE(smtp.messages().at(1).rcptTos, QStringList{QStringLiteral("a2@example.test")});
        QCOMPARE(queue.stop().retries, 0);
        QCOMPARE(sink.count(LogType::Error, QStringLiteral("; given up after ")), 1);
        QCOMPARE(ledger.totals().reportsFailed, quint64(1));
    }

    // An administrator who corrects the port rescues the mail waiting for its retry.
    void aRetryUsesTheSettingsInForceThen()
    {
        SmtpTestServer smtp;
        QVERIFY2(smtp.start(), qPrintable(smtp.errorString()));
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 nobody = closed.serverPort();
        closed.close();
        std::atomic<int> failures{0};
        MailQueue::Limits limits;
        limits.retryFirstSeconds = 1;
        MailQueue queue(
            &MailTransport::send,
            [&failures](const PreparedMail &, const SmtpSession::Outcome &outcome, const MailAttempt &) {
                failures += outcome.sent.contains(true) ? 0 : 1;
            },
            limits);
        queue.enqueue(mailTo(nobody, QStringLiteral("a@example.test"), QStringLiteral("a")));
        QTRY_VERIFY_WITH_TIMEOUT(failures >= 1, 20000);
        queue.setSettings(mailTo(smtp.port(), {}, {}).settings);
        QVERIFY(smtp.waitForMessages(1, 20000));
        QCOMPARE(smtp.messages().first().rcptTos, QStringList{QStringLiteral("a@example.test")});
    }

    void stopDuringASilentServerEndsWithinThreeSeconds()
    {
        std::atomic<bool> connected{false};
        ScriptedTcpServer server([&connected](ScriptedTcpServer::Connection &c) {
            connected = true;
            // Never a word: the stop's grace passes, and the conversation is cut short.
            c.waitForDisconnected(60000);
        });
        QVERIFY(server.start());
        QTemporaryDir dir;
        MailQueue::Limits limits;
        limits.spoolFile = dir.filePath(QStringLiteral("spool.json"));
        MailQueue queue(&MailTransport::send, {}, limits);
        queue.enqueue(mailTo(server.port(), QStringLiteral("a@example.test"), QStringLiteral("a")));
        QTRY_VERIFY_WITH_TIMEOUT(connected.load(), 10000);

        QElapsedTimer clock;
        clock.start();
        const MailQueue::Dropped dropped = queue.stop();
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(queue.isDone(1));
        QVERIFY(server.waitForFinished(10000));
        QVERIFY(!server.receivedLines().contains("DATA"));

        // The server took none of it: it waits in the spool for the next start, once.
        QCOMPARE(dropped.notBegun + dropped.retries, 0);
        QCOMPARE(dropped.kept, 1);
        QString error;
        const QList<PreparedMail> kept = MailSpool::take(limits.spoolFile, &error);
        QVERIFY(error.isEmpty() && kept.size() == 1);
        QCOMPARE(kept.first().htmlRecipients.first().email, QStringLiteral("a@example.test"));
        QVERIFY(MailSpool::take(limits.spoolFile, &error).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMailQueue)
#include "tst_mailqueue.moc"
