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

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

using namespace NVL::Engineering::VK;
using namespace NVL::Engineering::VK::Bench;

namespace {

constexpr int ServerStartMs = 600000;
constexpr double TargetRadioWaitMs = 50;

QString mib(qint64 kib)
{
    return QString::number(double(kib) / 1024.0, 'f', 1);
}

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 2);
}

// Seconds until the server's work after the banner (catching up the history, fitting, the retention pass)
// is done: its processor time stands still for half a second.
double settle(const BenchServer &server)
{
    QElapsedTimer clock;
    clock.start();
    double before = server.cpuMilliseconds().value_or(0);
    for (const QDeadlineTimer deadline(600000); !deadline.hasExpired();) {
        QThread::msleep(500);
        const double now = server.cpuMilliseconds().value_or(0);
        if (now - before < 25)
            break;
        before = now;
    }
    return double(clock.elapsed()) / 1000.0;
}

// Idle resident memory once the server has settled.
qint64 settledResidentKiB(const BenchServer &server)
{
    QThread::msleep(2000);
    return server.memory().value_or(BenchServer::Memory{}).residentKiB;
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
    });
    parser.process(app);
    const auto batteries = quint32(std::max(1, parser.value(QStringLiteral("batteries")).toInt()));

    QTemporaryDir dir;
    if (parser.isSet(QStringLiteral("keep"))) {
        dir.setAutoRemove(false);
        say(QStringLiteral("data folder kept: ") + dir.path());
    }
    BenchServer server(QStringLiteral(VK_VOLTKEEP_BIN), dir.path());
    const quint16 port = BenchServer::freePort();
    const quint16 http = BenchServer::freePort();
    if (!server.writePortSetting(port))
        return fail(QStringLiteral("cannot write vk.cfg"));
    QFile cfg(server.dataFolder() + QStringLiteral("/vk.cfg"));
    if (!cfg.open(QIODevice::Append) || cfg.write(QStringLiteral("[http]\nlisten=127.0.0.1:%1\n").arg(http).toUtf8()) <= 0)
        return fail(QStringLiteral("cannot write vk.cfg"));
    cfg.close();

    // An empty server first: it makes vk.db, and its memory is the floor.
    if (!server.start(ServerStartMs))
        return fail(QStringLiteral("server start failed: ") + server.errorString(), &server);
    const qint64 emptyKiB = settledResidentKiB(server);
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
    const double settledAfter = settle(server);
    const double settleCpuMs = server.cpuMilliseconds().value_or(0) - startCpuMs;
    const qint64 idleKiB = settledResidentKiB(server);
    say(QStringLiteral("start to banner: %1 s; work after the banner done %2 s later (server CPU %3 s); idle memory %4 MiB "
                       "(an empty server %5 MiB)")
            .arg(seconds(startMs), QString::number(settledAfter, 'f', 1), seconds(qint64(settleCpuMs)), mib(idleKiB),
                 mib(emptyKiB)));
    for (const QString &line : server.logSinceStart().split(QLatin1Char('\n'))) {
        if (line.contains(QLatin1String("History retention done")) || line.contains(QLatin1String("Forecasts fitted")))
            say(QStringLiteral("  server: ") + line.trimmed());
    }

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
    report(QStringLiteral("list request"), list, settledResidentKiB(server), idleKiB);

    const QString paths[] = {
        QStringLiteral("/api/v1/batteries"),
        QStringLiteral("/api/v1/batteries.csv"),
        QStringLiteral("/api/v1/forecast?within=90"),
        QStringLiteral("/batteries.csv"),
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
        report(QStringLiteral("GET ") + path, answer, settledResidentKiB(server), idleKiB);
    }
    if (radio.failed())
        return fail(QStringLiteral("the watching radio lost its connection"), &server);
    server.stop();
    return 0;
}
