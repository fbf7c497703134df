// National-fleet benchmark of the Voltkeep server: vk.db filled with a million batteries (written in one
// transaction while the server is stopped), then the start, the idle memory, a radio list and the
// whole-fleet HTTP answers, each with its time, the server's peak memory above idle, and the longest
// wait of a radio asking for the version meanwhile. Loopback traffic only.

#include "BenchOutput.h"
#include "BenchServer.h"
#include "HttpProbe.h"
#include "ListProbe.h"
#include "RadioWatch.h"
#include "StoreFiller.h"
#include "WebhookReceiver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>

using namespace NVL::Engineering::VK;
using namespace NVL::Engineering::VK::Bench;

namespace {

constexpr int ServerStartMs = 600000;
constexpr double TargetRadioWaitMs = 50;
// Idle memory: at most this at a million batteries, and TargetIdleSmallMiB up to SmallFleet.
constexpr double TargetIdleMiB = 300;
constexpr double TargetIdleSmallMiB = 64;
constexpr quint32 SmallFleet = 100000;
// Idle memory after insight's analysis within this much of idle before it.
constexpr double TargetAnalysisMiB = 16;
constexpr double TargetRetentionCpuSeconds = 5;

QString mib(qint64 kib)
{
    return QString::number(double(kib) / 1024.0, 'f', 1);
}

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 2);
}

struct Watched
{
    qint64 ms = 0;
    double cpuMs = 0; // the server's
    qint64 peakAboveIdleKiB = 0;
    double radioWaitMs = 0;
    qsizetype bytes = 0;
    QString error;
};

template<typename Answer>
Watched watch(const BenchServer &server, RadioWatch &radio, qint64 idleKiB, Answer &&answer)
{
    Watched w;
    server.resetPeak();
    radio.resetSlowest();
    const double cpuBefore = server.cpuMilliseconds().value_or(0);
    QElapsedTimer clock;
    clock.start();
    w.error = answer(w.bytes);
    w.ms = clock.elapsed();
    w.cpuMs = server.cpuMilliseconds().value_or(0) - cpuBefore;
    QThread::msleep(50); // a reply held behind the answer's last part is counted too
    w.radioWaitMs = radio.slowestMs();
    w.peakAboveIdleKiB = server.memory().value_or(BenchServer::Memory{}).peakKiB - idleKiB;
    return w;
}

void report(const QString &what, const Watched &w, qint64 residentAfterKiB, qint64 idleKiB)
{
    say(QStringLiteral("%1: %2 s (server CPU %3 s), %4 MiB; peak %5 MiB above idle, %6 MiB above idle after it; "
                       "longest radio wait %7 ms - %8")
            .arg(what, seconds(w.ms), seconds(qint64(w.cpuMs)), mib(qint64(w.bytes / 1024)), mib(w.peakAboveIdleKiB),
                 mib(residentAfterKiB - idleKiB), ms(w.radioWaitMs), verdict(w.radioWaitMs <= TargetRadioWaitMs)));
}

// The first start's pass finds the history empty (its points are caught up after it); a restart's finds
// a point for every battery.
void retentionCpu(const QString &which, const QString &log)
{
    const QRegularExpressionMatch pass =
        QRegularExpression(QStringLiteral("History retention done: .* from (\\d+) batteries.* CPU ([0-9.]+) s")).match(log);
    if (!pass.hasMatch()) {
        say(QStringLiteral("retention pass of %1: the server's log gives no CPU time").arg(which));
        return;
    }
    const double cpu = pass.captured(2).toDouble();
    say(QStringLiteral("target: retention pass of %1 (%2 batteries) <= %3 s CPU: %4 s - %5")
            .arg(which, pass.captured(1))
            .arg(TargetRetentionCpuSeconds)
            .arg(pass.captured(2), verdict(cpu <= TargetRetentionCpuSeconds)));
}

// Idle memory a minute and `lateMinutes` after the start (the clock started at it), once insight analysed
// the fleet and its periodic work ran; false when the later figure is over the targets.
bool idleOverTime(const BenchServer &server, const QElapsedTimer &sinceStart, qint64 idleKiB, int lateMinutes,
                  const QString &which, quint32 batteries)
{
    const double target = batteries <= SmallFleet ? TargetIdleSmallMiB : TargetIdleMiB;
    QList<qint64> sampled;
    for (const int minutes : {1, lateMinutes}) {
        const qint64 due = qint64(minutes) * 60000 - sinceStart.elapsed();
        if (due > 0)
            QThread::msleep(quint64(due));
        server.settle();
        sampled.append(server.idleResidentKiB());
    }
    const bool analysed = server.logSinceStart().contains(QLatin1String("Fleet insight analysed"));
    const double worst = double(std::max({idleKiB, sampled[0], sampled[1]})) / 1024.0;
    const bool ok = analysed && worst <= target && double(std::max(sampled[0], sampled[1]) - idleKiB) / 1024.0 <= TargetAnalysisMiB;
    say(QStringLiteral("target: idle memory of %1 <= %2 MiB, and within %3 MiB of idle before insight's analysis: %4 MiB "
                       "once settled, %5 MiB a minute after the start, %6 MiB %7 minutes after it%8 - %9")
            .arg(which).arg(target).arg(TargetAnalysisMiB)
            .arg(mib(idleKiB), mib(sampled[0]), mib(sampled[1])).arg(lateMinutes)
            .arg(analysed ? QString() : QStringLiteral(" (insight had not analysed yet)"), verdict(ok)));
    return ok;
}

// The server's line at the end of a start's look at every battery's class against the webhook outbox.
const QLatin1String WebhookLook("compared with the webhook outbox");

// A restart on what the first start left: the history written, nothing to catch up.
int restartIdle(BenchServer &server, int lateMinutes, quint32 batteries)
{
    server.stop();
    QElapsedTimer clock;
    clock.start();
    if (!server.start(ServerStartMs))
        return fail(QStringLiteral("restart failed: ") + server.errorString(), &server);
    const qint64 startMs = clock.elapsed();
    const double settledAfter = server.settle();
    const qint64 idleKiB = server.idleResidentKiB();
    say(QStringLiteral("restart to banner: %1 s; work after the banner done %2 s later; idle memory %3 MiB")
            .arg(seconds(startMs), QString::number(settledAfter, 'f', 1), mib(idleKiB)));
    const QString log = server.logSinceStart();
    for (const QString &line : log.split(QLatin1Char('\n')))
        if (line.contains(WebhookLook))
            say(QStringLiteral("  server: ") + line.trimmed());
    retentionCpu(QStringLiteral("a restart"), log);
    idleOverTime(server, clock, idleKiB, lateMinutes, QStringLiteral("a restart"), batteries);
    server.stop();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures the Voltkeep server on a national fleet."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("batteries"), QStringLiteral("Batteries in vk.db."), QStringLiteral("N"), QStringLiteral("1000000")},
        {QStringLiteral("keep"), QStringLiteral("Keep the temporary data folder and print its path.")},
        {QStringLiteral("server"), QStringLiteral("The server program to measure."), QStringLiteral("PATH"),
         QStringLiteral(VK_VOLTKEEP_BIN)},
        {QStringLiteral("idle-only"), QStringLiteral("Leave out the list and the whole-fleet answers.")},
        {QStringLiteral("webhook"), QStringLiteral("With a webhook receiver of battery.class: every start compares each "
                                                   "battery's class with the outbox.")},
        {QStringLiteral("late-minutes"), QStringLiteral("The later idle sample, minutes after each start (10)."),
         QStringLiteral("N"), QStringLiteral("10")},
    });
    parser.process(app);
    const auto batteries = quint32(std::max(1, parser.value(QStringLiteral("batteries")).toInt()));
    const int lateMinutes = std::max(2, parser.value(QStringLiteral("late-minutes")).toInt());

    QTemporaryDir dir;
    if (parser.isSet(QStringLiteral("keep"))) {
        dir.setAutoRemove(false);
        say(QStringLiteral("data folder kept: ") + dir.path());
    }
    BenchServer server(parser.value(QStringLiteral("server")), dir.path());
    const quint16 port = BenchServer::freePort();
    const quint16 http = BenchServer::freePort();
    if (!server.writePortSetting(port))
        return fail(QStringLiteral("cannot write vk.cfg"));
    QFile cfg(server.dataFolder() + QStringLiteral("/vk.cfg"));
    if (!cfg.open(QIODevice::Append) || cfg.write(QStringLiteral("[http]\nlisten=127.0.0.1:%1\n").arg(http).toUtf8()) <= 0)
        return fail(QStringLiteral("cannot write vk.cfg"));
    std::optional<WebhookReceiver> receiver;
    if (parser.isSet(QStringLiteral("webhook"))) {
        receiver.emplace();
        const QString hook = QStringLiteral("[webhooks]\nbench.url=http://127.0.0.1:%1/hook\nbench.events=battery.class\n"
                                            "bench.secret=bench\n");
        if (cfg.write(hook.arg(receiver->port()).toUtf8()) <= 0)
            return fail(QStringLiteral("cannot write vk.cfg"));
    }
    cfg.close();

    // An empty server first: it makes vk.db, and its memory is the floor.
    if (!server.start(ServerStartMs))
        return fail(QStringLiteral("server start failed: ") + server.errorString(), &server);
    const qint64 emptyKiB = server.idleResidentKiB();
    server.stop();
    const StoreFiller::Result fill = StoreFiller::fill(server.databasePath(), 'N', 0, batteries);
    if (!fill.ok)
        return fail(QStringLiteral("filling vk.db: ") + fill.error);
    say(QStringLiteral("vk.db: %1 batteries written in one transaction in %2 s")
            .arg(fill.rowsAfter)
            .arg(QString::number(double(fill.nanoseconds) / 1e9, 'f', 1)));

    QElapsedTimer clock;
    clock.start();
    if (!server.start(ServerStartMs))
        return fail(QStringLiteral("server start failed: ") + server.errorString(), &server);
    const qint64 startMs = clock.elapsed();
    const double startCpuMs = server.cpuMilliseconds().value_or(0);
    const double settledAfter = server.settle();
    const double settleCpuMs = server.cpuMilliseconds().value_or(0) - startCpuMs;
    const qint64 idleKiB = server.idleResidentKiB();
    say(QStringLiteral("start to banner: %1 s; work after the banner done %2 s later (server CPU %3 s); idle memory %4 MiB "
                       "(an empty server %5 MiB)")
            .arg(seconds(startMs), QString::number(settledAfter, 'f', 1), seconds(qint64(settleCpuMs)), mib(idleKiB),
                 mib(emptyKiB)));
    const QString firstLog = server.logSinceStart();
    for (const QString &line : firstLog.split(QLatin1Char('\n'))) {
        if (line.contains(QLatin1String("History retention done")) || line.contains(QLatin1String("Forecasts fitted"))
            || line.contains(WebhookLook))
            say(QStringLiteral("  server: ") + line.trimmed());
    }
    retentionCpu(QStringLiteral("the first start"), firstLog);
    // vk.db written by another program, no history file: the first start's idle memory over time.
    idleOverTime(server, clock, idleKiB, lateMinutes, QStringLiteral("the first start"), batteries);
    if (parser.isSet(QStringLiteral("idle-only")))
        return restartIdle(server, lateMinutes, batteries);

    RadioWatch radio(port);
    radio.start();
    const QDeadlineTimer first(10000);
    while (radio.replies() == 0 && !radio.failed() && !first.hasExpired())
        QThread::msleep(10);
    if (radio.replies() == 0)
        return fail(QStringLiteral("the watching radio got no version reply"), &server);

    // The radio list, with the server's default bounds on replies not yet taken.
    QTcpSocket listPeer;
    listPeer.connectToHost(QHostAddress::LocalHost, port);
    if (!listPeer.waitForConnected(10000))
        return fail(QStringLiteral("list peer: ") + listPeer.errorString(), &server);
    Watched list = watch(server, radio, idleKiB, [&listPeer, batteries](qsizetype &bytes) {
        const ListProbe::Reply reply = ListProbe::request(listPeer, QDeadlineTimer(300000));
        bytes = reply.records.size();
        if (!reply.ok)
            return reply.error;
        return reply.count == batteries ? QString() : QStringLiteral("the list held %1 batteries").arg(reply.count);
    });
    if (!list.error.isEmpty())
        return fail(QStringLiteral("vkpeer's list request: ") + list.error, &server);
    report(QStringLiteral("list request"), list, server.idleResidentKiB(), idleKiB);

    const QString paths[] = {
        QStringLiteral("/api/v1/batteries"),
        QStringLiteral("/api/v1/batteries.csv"),
        QStringLiteral("/api/v1/forecast?within=90"),
        QStringLiteral("/batteries.csv"),
        QStringLiteral("/batteries.csv?sort=alias"),
        QStringLiteral("/batteries?sort=alias"),
        QStringLiteral("/"),
    };
    for (const QString &path : paths) {
        Watched answer = watch(server, radio, idleKiB, [port = http, &path](qsizetype &bytes) {
            const HttpProbe::Reply reply = HttpProbe::get(port, path, 300000);
            bytes = reply.body.size();
            return reply.ok && reply.status == 200 ? QString() : QStringLiteral("%1 %2").arg(reply.status).arg(reply.error);
        });
        if (!answer.error.isEmpty())
            return fail(path + QStringLiteral(": ") + answer.error, &server);
        report(QStringLiteral("GET ") + path, answer, server.idleResidentKiB(), idleKiB);
    }
    if (radio.failed())
        return fail(QStringLiteral("the watching radio lost its connection"), &server);
    return restartIdle(server, lateMinutes, batteries);
}
