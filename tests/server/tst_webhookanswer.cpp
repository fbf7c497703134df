// A receiver's answer read as it comes, in pieces as the network splits it: where it ends, its status,
// whether the connection may carry the next post, and the bounds that stop an answer without end.
#include "WebhookAnswer.h"

#include <QtTest>

using namespace NVL::Engineering::VK;
using State = WebhookAnswer::State;

class WebhookAnswerTest : public QObject
{
    Q_OBJECT

private slots:
    void readsWhereItEnds_data();
    void readsWhereItEnds();
};

void WebhookAnswerTest::readsWhereItEnds_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<bool>("closedAfter");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("keepAlive");

    const auto row = [](const char *name, QByteArrayList pieces, bool closed, State state, int status, bool keep) {
        QTest::newRow(name) << pieces << closed << int(state) << status << keep;
    };
    row("no content", {"HTTP/1.1 204 No Content\r\n\r\n"}, false, State::Complete, 204, true);
    row("sized, split within the blank line", {"HTTP/1.1 200 OK\r\nContent-Length: 5\r", "\n\r\nhel", "lo"}, false,
        State::Complete, 200, true);
    row("chunked, an extension and a trailer",
        {"HTTP/1.1 500 Oops\r\nTransfer-Encoding: chunked\r\n\r\n3;x=1\r\nab", "c\r\n0\r\nX-T: 1\r\n\r\n"}, false,
        State::Complete, 500, true);
    row("an interim answer first", {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 202 Accepted\r\nContent-Length: 0\r\n\r\n"},
        false, State::Complete, 202, true);
    row("HTTP/1.0", {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"}, false, State::Complete, 200, false);
    row("Connection: close", {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n"}, false,
        State::Complete, 200, false);
    row("bytes past the answer", {"HTTP/1.1 204 No Content\r\n\r\nHTTP/1.1 204"}, false, State::Complete, 204, false);
    row("no length: ends when closed", {"HTTP/1.1 200 OK\r\n\r\nabc"}, true, State::Complete, 200, false);
    row("no length, not yet closed", {"HTTP/1.1 200 OK\r\n\r\nabc"}, false, State::Reading, 200, false);
    row("announced past the bound", {"HTTP/1.1 200 OK\r\nContent-Length: 104857600\r\n\r\n"}, false, State::TooLarge,
        200, false);
    row("chunks past the bound", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n800\r\n"}, false,
        State::TooLarge, 200, false);
    row("no length, past the bound", {"HTTP/1.1 200 OK\r\n\r\n", QByteArray(1025, 'x')}, false, State::TooLarge, 200,
        false);
    row("a head without end", {"HTTP/1.1 200 OK\r\nX: ", QByteArray(WebhookAnswer::HeadBytes, 'x')}, false,
        State::TooLarge, 0, false);
    row("interim answers without end", {QByteArray("HTTP/1.1 100 Continue\r\n\r\n").repeated(1000)}, false,
        State::TooLarge, 100, false);
    row("not HTTP", {"SSH-2.0-OpenSSH_9.2\r\n\r\n"}, false, State::Malformed, 0, false);
    row("closed within the head", {"HTTP/1.1 200 OK\r\n"}, true, State::Malformed, 0, false);
    row("a chunk longer than its size", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n"}, false,
        State::Malformed, 200, false);
}

void WebhookAnswerTest::readsWhereItEnds()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(bool, closedAfter);
    WebhookAnswer answer(1024);
    for (const QByteArray &piece : pieces)
        answer.feed(piece.constData(), piece.size());
    if (closedAfter)
        answer.closed();
    QTEST(int(answer.state()), "state");
    QTEST(answer.status(), "status");
    QTEST(answer.keepAlive(), "keepAlive");
    QCOMPARE(answer.problem().isEmpty(), answer.state() == State::Complete || answer.state() == State::Reading);
}

QTEST_APPLESS_MAIN(WebhookAnswerTest)
#include "tst_webhookanswer.moc"
