// History benchmark of the Voltkeep server: TCP ingest with the history on against off, then a synthetic
// fleet (10,000 batteries x 2 years by default) for the history file's size, the event loop during the
// retention pass, the API's answers and the server's peak memory. Loopback traffic only; every loop is
// bounded by a count and a deadline.

#include "BenchOutput.h"
#include "BenchServer.h"
#include "HttpProbe.h"
#include "RadioPeer.h"
#include "SyntheticFleet.h"
#include "TcpIngest.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

using namespace NVL::Engineering::VK;
using namespace NVL::Engineering::VK::Bench;

namespace {

constexpr int ServerStartMs = 60000;
constexpr int IngestAllowanceMs = 120000;
constexpr int RetentionAllowanceMs = 600000;

constexpr double TargetIngestRatio = 0.9;
constexpr double TargetBurstAnswerMs = 50;
constexpr double TargetFileMiB = 400;
constexpr double TargetHistoryMs = 20;
constexpr double TargetColdMs = 1000;
constexpr double TargetWarmMs = 100;
constexpr double TargetMemoryMiB = 150;
constexpr double TargetTurnMs = 50;
constexpr double TargetIdleMiB = 64; // at 100,000 batteries x 30 days

struct Options
{
    // A run of 20,000 reports lasts a tenth of a second: one stray process then decides the ratio.
    quint32 ingest = 300000;
    int rounds = 4;
    int batteries = 10000;
    int days = 730;
    int denseDays = 60;
    int samples = 20;
    bool skipIngest = false;
};

bool writeSettings(BenchServer &server, quint16 port, bool history)
{
    if (!server.writePortSetting(port))
        return false;
    QFile cfg(server.dataFolder() + QStringLiteral("/vk.cfg"));
    if (!cfg.open(QIODevice::Append))
        return false;
    const quint16 http = BenchServer::freePort();
    return cfg.write(QStringLiteral("[history]\nenabled=%1\n[http]\nlisten=127.0.0.1:%2\n")
                         .arg(history ? QStringLiteral("true") : QStringLiteral("false"))
                         .arg(http)
                         .toUtf8())
        > 0;
}

quint16 httpPort(const BenchServer &server)
{
    QFile cfg(server.dataFolder() + QStringLiteral("/vk.cfg"));
    cfg.open(QIODevice::ReadOnly);
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("listen=127.0.0.1:(\\d+)")).match(QString::fromUtf8(cfg.readAll()));
    return quint16(m.captured(1).toUInt());
}

double mib(qint64 bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

qint64 historyBytes(const QString &folder)
{
    qint64 total = 0;
    for (const QString &suffix : {QString(), QStringLiteral("-wal")})
        total += QFileInfo(folder + QStringLiteral("/vk-history.db") + suffix).size();
    return total;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    if (values.empty())
        return 0.0;
    const std::size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

std::optional<qint64> pointsWritten(quint16 http)
{
    const HttpProbe::Reply r = HttpProbe::get(http, QStringLiteral("/metrics"));
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("\\nvoltkeep_history_points_written_total (\\d+)")).match(QString::fromUtf8(r.body));
    if (!r.ok || !m.hasMatch())
        return std::nullopt;
    return m.captured(1).toLongLong();
}

// Right after a burst the history still writes its points: a question to it then (answered while the
// event loop waits) and the time until the last point is in.
struct AfterBurst
{
    bool measured = false;
    qint64 waiting = 0;
    double answerMs = 0;
    double catchUpSeconds = 0;
    bool fellBehind = false;
};

AfterBurst afterBurst(BenchServer &server, quint64 confirmed)
{
    AfterBurst after;
    const quint16 http = httpPort(server);
    const std::optional<qint64> written = pointsWritten(http);
    QElapsedTimer clock;
    clock.start();
    const HttpProbe::Reply answer = HttpProbe::get(http, QStringLiteral("/api/v1/batteries/48766B0000000000/history"));
    if (!written || !answer.ok || answer.status != 200)
        return after;
    after.waiting = qint64(confirmed) - *written;
    after.answerMs = answer.milliseconds;
    const QDeadlineTimer deadline(IngestAllowanceMs);
    std::optional<qint64> now = written;
    while (now && *now < qint64(confirmed) && !deadline.hasExpired()) {
        QThread::msleep(20);
        now = pointsWritten(http);
    }
    after.measured = now && *now >= qint64(confirmed);
    after.catchUpSeconds = double(clock.elapsed()) / 1000.0;
    after.fellBehind = server.logSinceStart().contains(QLatin1String("The battery history falls behind"));
    return after;
}

std::optional<double> ingestRate(const QString &program, const QString &folder, bool history, quint32 count, QString &error,
                                 AfterBurst *after)
{
    BenchServer server(program, folder);
    const quint16 port = BenchServer::freePort();
    if (!writeSettings(server, port, history) || !server.start(ServerStartMs)) {
        error = QStringLiteral("server start failed: ") + server.errorString();
        return std::nullopt;
    }
    const TcpIngest::Result run = TcpIngest::run(port, 1, 'H', 0, count, QDeadlineTimer(IngestAllowanceMs));
    if (run.ok && history && after)
        *after = afterBurst(server, quint64(run.confirmed));
    server.stop();
    if (!run.ok) {
        error = run.error;
        return std::nullopt;
    }
    return double(run.confirmed) * 1e9 / double(run.nanoseconds);
}

// Version requests one after the other until the log says the retention pass is done: a reply waits for
// whatever turn of the event loop is running, so the slowest one bounds the longest turn from above.
struct Stalls
{
    bool done = false;
    int probes = 0;
    double maxMs = 0;
    double p99Ms = 0;
    double seconds = 0;
};

Stalls watchUntil(BenchServer &server, quint16 port, const QString &logLine)
{
    Stalls stalls;
    RadioPeer peer(QStringLiteral("127.0.0.1"), port, 10000);
    if (!peer.connectToServer())
        return stalls;
    std::vector<double> samples;
    QElapsedTimer clock;
    clock.start();
    const QDeadlineTimer deadline(RetentionAllowanceMs);
    while (!deadline.hasExpired()) {
        QElapsedTimer one;
        one.start();
        if (!peer.version())
            break;
        samples.push_back(double(one.nsecsElapsed()) / 1e6);
        if (samples.size() % 64 == 0 && server.logSinceStart().contains(logLine)) {
            stalls.done = true;
            break;
        }
        QThread::usleep(500);
    }
    stalls.seconds = double(clock.elapsed()) / 1000.0;
    stalls.probes = int(samples.size());
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        stalls.maxMs = samples.back();
        stalls.p99Ms = samples[samples.size() * 99 / 100];
    }
    return stalls;
}

Stalls watchIdle(quint16 port)
{
    Stalls stalls;
    RadioPeer peer(QStringLiteral("127.0.0.1"), port, 10000);
    if (!peer.connectToServer())
        return stalls;
    std::vector<double> samples;
    for (int i = 0; i < 200; ++i) {
        QElapsedTimer one;
        one.start();
        if (!peer.version())
            break;
        samples.push_back(double(one.nsecsElapsed()) / 1e6);
        QThread::usleep(500);
    }
    std::sort(samples.begin(), samples.end());
    stalls.probes = int(samples.size());
    if (!samples.empty()) {
        stalls.maxMs = samples.back();
        stalls.p99Ms = samples[samples.size() * 99 / 100];
    }
    return stalls;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures the Voltkeep server's battery history and its HTTP API."));
    parser.addHelpOption();
    const Options d;
    parser.addOptions({
        {QStringLiteral("ingest"), QStringLiteral("Reports of each ingest run."), QStringLiteral("N"), QString::number(d.ingest)},
        {QStringLiteral("rounds"), QStringLiteral("Ingest rounds, each history off then on."), QStringLiteral("N"),
         QString::number(d.rounds)},
        {QStringLiteral("batteries"), QStringLiteral("Batteries of the synthetic fleet."), QStringLiteral("N"),
         QString::number(d.batteries)},
        {QStringLiteral("days"), QStringLiteral("Days of its history."), QStringLiteral("D"), QString::number(d.days)},
        {QStringLiteral("dense-days"), QStringLiteral("Newest days with several reports a day (beyond 30 they get thinned)."),
         QStringLiteral("D"), QString::number(d.denseDays)},
        {QStringLiteral("skip-ingest"), QStringLiteral("Leave out the ingest comparison.")},
        {QStringLiteral("server"), QStringLiteral("The server program to measure."), QStringLiteral("PATH"),
         QStringLiteral(VK_VOLTKEEP_BIN)},
    });
    parser.process(app);
    Options o;
    o.ingest = parser.value(QStringLiteral("ingest")).toUInt();
    o.rounds = std::max(1, parser.value(QStringLiteral("rounds")).toInt());
    o.batteries = std::max(1, parser.value(QStringLiteral("batteries")).toInt());
    o.days = std::max(1, parser.value(QStringLiteral("days")).toInt());
    o.denseDays = std::max(0, parser.value(QStringLiteral("dense-days")).toInt());
    o.skipIngest = parser.isSet(QStringLiteral("skip-ingest"));
    const QString program = parser.value(QStringLiteral("server"));
    QElapsedTimer whole;
    whole.start();

    // 1. Sustained TCP ingest, history off against on, alternating so that the disk's drift hits both.
    double ratio = 0;
    if (!o.skipIngest && o.ingest > 0) {
        double off = 0, on = 0;
        std::vector<double> roundRatios;
        AfterBurst after;
        for (int round = 0; round < o.rounds; ++round) {
            double offRate = 0;
            for (const bool history : {false, true}) {
                QTemporaryDir dir;
                QString error;
                const auto rate = ingestRate(program, dir.path(), history, o.ingest, error, round == 0 ? &after : nullptr);
                if (!rate)
                    return fail(QStringLiteral("ingest failed: ") + error);
                say(QStringLiteral("TCP ingest, history %1, round %2: %3 reports/s")
                        .arg(history ? QStringLiteral("on ") : QStringLiteral("off"))
                        .arg(round + 1)
                        .arg(QString::number(*rate, 'f', 0)));
                (history ? on : off) += *rate / o.rounds;
                if (history)
                    roundRatios.push_back(*rate / offRate);
                else
                    offRate = *rate;
            }
        }
        // Each round's pair ran within seconds of each other: the median of their ratios is what a stray
        // process elsewhere on the machine moves least; the ratio of the means is shown beside it.
        ratio = median(roundRatios);
        say(QStringLiteral("target: ingest with history >= %1 of without, median of the rounds: %2 (means %3 / %4 "
                           "reports/s = %5) - %6")
                .arg(TargetIngestRatio)
                .arg(QString::number(ratio, 'f', 3), QString::number(on, 'f', 0), QString::number(off, 'f', 0),
                     QString::number(off > 0 ? on / off : 0, 'f', 3), verdict(ratio >= TargetIngestRatio)));
        if (!after.measured)
            return fail(QStringLiteral("the history did not answer or catch up after the first burst"));
        say(QStringLiteral("after the first burst: %1 point(s) still to write; the history written %2 s later%3")
                .arg(after.waiting)
                .arg(QString::number(after.catchUpSeconds, 'f', 2),
                     after.fellBehind ? QStringLiteral(", points dropped (it fell behind)") : QString()));
        say(QStringLiteral("target: a battery's history meanwhile under %1 ms (the event loop waits for it): %2 ms - %3")
                .arg(TargetBurstAnswerMs)
                .arg(ms(after.answerMs), verdict(after.answerMs < TargetBurstAnswerMs)));
    }

    // 2. The synthetic fleet, written while the server is stopped.
    QTemporaryDir dir;
    BenchServer server(program, dir.path());
    const quint16 port = BenchServer::freePort();
    if (!writeSettings(server, port, true))
        return fail(QStringLiteral("cannot write vk.cfg"));
    const quint16 http = httpPort(server);
    SyntheticFleet::Options fleetOptions;
    fleetOptions.batteries = o.batteries;
    fleetOptions.days = o.days;
    fleetOptions.denseDays = o.denseDays;
    QElapsedTimer clock;
    clock.start();
    const SyntheticFleet::Result fleet = SyntheticFleet(fleetOptions).write(server.dataFolder(), 80);
    if (!fleet.ok)
        return fail(QStringLiteral("synthetic fleet: ") + fleet.error);
    const qint64 written = historyBytes(server.dataFolder());
    say(QStringLiteral("synthetic fleet: %1 batteries x %2 days (%3 newest with several reports a day), %4 points, "
                       "written with forecasts in %5 s; history file %6 MiB")
            .arg(o.batteries)
            .arg(o.days)
            .arg(o.denseDays)
            .arg(fleet.points)
            .arg(QString::number(double(clock.elapsed()) / 1000.0, 'f', 1), ms(mib(written))));

    // 3. The first retention pass thins the dense days beyond 30; the event loop is watched meanwhile.
    if (!server.start(ServerStartMs))
        return fail(QStringLiteral("server start failed: ") + server.errorString(), &server);
    const Stalls stalls = watchUntil(server, port, QStringLiteral("History retention done"));
    const QRegularExpressionMatch pass =
        QRegularExpression(QStringLiteral("History retention done: (\\d+) point\\(s\\) removed from (\\d+) batteries in "
                                          "([0-9.]+) s.*longest turn (\\d+) ms"))
            .match(server.logSinceStart());
    if (!stalls.done || !pass.hasMatch())
        return fail(QStringLiteral("the retention pass did not finish in time"), &server);
    const double longestTurn = pass.captured(4).toDouble();
    say(QStringLiteral("retention pass: %1 points removed from %2 batteries in %3 s; its longest turn of the event loop "
                       "%4 ms (the server's own measure); %5 version requests meanwhile, slowest reply %6 ms, 99th "
                       "percentile %7 ms")
            .arg(pass.captured(1), pass.captured(2), pass.captured(3), pass.captured(4))
            .arg(stalls.probes)
            .arg(ms(stalls.maxMs), ms(stalls.p99Ms)));
    const Stalls idle = watchIdle(port);
    say(QStringLiteral("the same version requests on the idle server afterwards: %1, slowest reply %2 ms, 99th percentile "
                       "%3 ms (what loopback TCP itself adds)")
            .arg(idle.probes)
            .arg(ms(idle.maxMs), ms(idle.p99Ms)));
    const qint64 thinned = historyBytes(server.dataFolder());

    // 4. One battery's history, spread over the fleet.
    std::vector<double> historyMs;
    int points = 0;
    for (int i = 0; i < 20; ++i) {
        const int index = int((qint64(i) * 7919) % o.batteries);
        const QString key = QStringLiteral("00004251%1").arg(index, 8, 16, QLatin1Char('0')).toUpper();
        const HttpProbe::Reply r = HttpProbe::get(http, QStringLiteral("/api/v1/batteries/%1/history").arg(key));
        if (!r.ok || r.status != 200)
            return fail(QStringLiteral("history request failed: %1 %2").arg(r.status).arg(r.error), &server);
        historyMs.push_back(r.milliseconds);
        points += int(r.body.count("\"time\""));
    }
    const double historyMedian = median(historyMs);
    say(QStringLiteral("one battery's history over HTTP: median %1 ms, slowest %2 ms (20 batteries, %3 points each on "
                       "average)")
            .arg(ms(historyMedian), ms(*std::max_element(historyMs.begin(), historyMs.end())))
            .arg(points / 20));
    const auto memoryBefore = server.memory();

    // 5. The fleet forecast, first after a restart and then again.
    server.stop();
    if (!server.start(ServerStartMs))
        return fail(QStringLiteral("restart failed: ") + server.errorString(), &server);
    const HttpProbe::Reply cold = HttpProbe::get(http, QStringLiteral("/api/v1/forecast?within=365"));
    std::vector<double> warm;
    int due = 0;
    for (int i = 0; i < 5; ++i) {
        const HttpProbe::Reply r = HttpProbe::get(http, QStringLiteral("/api/v1/forecast?within=365"));
        if (!r.ok || r.status != 200)
            return fail(QStringLiteral("forecast request failed: ") + r.error, &server);
        warm.push_back(r.milliseconds);
        due = int(r.body.count("\"serial\""));
    }
    const HttpProbe::Reply all = HttpProbe::get(http, QStringLiteral("/api/v1/batteries"));
    if (!cold.ok || cold.status != 200 || !all.ok)
        return fail(QStringLiteral("forecast request failed: ") + cold.error, &server);
    say(QStringLiteral("fleet forecast over HTTP (within 365 days, %1 batteries due): cold %2 ms (first request after a "
                       "restart), warm median %3 ms; whole fleet /api/v1/batteries %4 ms, %5 KiB")
            .arg(due)
            .arg(ms(cold.milliseconds), ms(median(warm)), ms(all.milliseconds))
            .arg(all.body.size() / 1024));
    const auto memoryAfter = server.memory();

    // 6. Every forecast fitted anew after a start (as after an upgrade of the rules), the radios watched.
    server.stop();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("stale"));
        db.setDatabaseName(QDir(server.dataFolder()).filePath(QStringLiteral("vk-history.db")));
        if (!db.open() || !QSqlQuery(db).exec(QStringLiteral("UPDATE forecasts SET newest = -1")))
            return fail(QStringLiteral("cannot mark the forecasts stale"));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("stale"));
    if (!server.start(ServerStartMs))
        return fail(QStringLiteral("restart failed: ") + server.errorString(), &server);
    const Stalls refit = watchUntil(server, port, QStringLiteral("Forecasts fitted after the start"));
    const QRegularExpressionMatch fitted =
        QRegularExpression(QStringLiteral("Forecasts fitted after the start: (\\d+) batteries in ([0-9.]+) s")).match(server.logSinceStart());
    if (!refit.done || !fitted.hasMatch())
        return fail(QStringLiteral("the forecasts were not fitted again in time"), &server);
    say(QStringLiteral("every forecast fitted again after a start: %1 batteries in %2 s (%3 ms a battery on the history's "
                       "thread); %4 version requests meanwhile, slowest reply %5 ms, 99th percentile %6 ms")
            .arg(fitted.captured(1), fitted.captured(2),
                 ms(fitted.captured(2).toDouble() * 1000.0 / std::max(1.0, fitted.captured(1).toDouble())))
            .arg(refit.probes)
            .arg(ms(refit.maxMs), ms(refit.p99Ms)));

    // 7. Idle after a restart, once the work after the banner is done: the memory of a fleet of this size.
    server.stop();
    if (!server.start(ServerStartMs))
        return fail(QStringLiteral("restart failed: ") + server.errorString(), &server);
    server.settle();
    const double idleMiB = mib(server.idleResidentKiB() * 1024);
    server.stop();

    const double peak = mib(std::max(memoryBefore ? memoryBefore->peakKiB : 0, memoryAfter ? memoryAfter->peakKiB : 0) * 1024);
    say(QStringLiteral("target: history file of %1 batteries x %2 days under 400 MiB: %3 MiB as written, %4 MiB after "
                       "the retention pass - %5")
            .arg(o.batteries)
            .arg(o.days)
            .arg(ms(mib(written)), ms(mib(thinned)), verdict(mib(std::max(written, thinned)) < TargetFileMiB)));
    say(QStringLiteral("target: one battery's history under 20 ms: median %1 ms - %2")
            .arg(ms(historyMedian), verdict(historyMedian < TargetHistoryMs)));
    say(QStringLiteral("target: fleet forecast cold under 1 s: %1 ms - %2").arg(ms(cold.milliseconds), verdict(cold.milliseconds < TargetColdMs)));
    say(QStringLiteral("target: fleet forecast warm under 100 ms: %1 ms - %2").arg(ms(median(warm)), verdict(median(warm) < TargetWarmMs)));
    say(QStringLiteral("target: server peak resident memory under 150 MiB: VmHWM %1 MiB - %2").arg(ms(peak), verdict(peak > 0 && peak < TargetMemoryMiB)));
    say(QStringLiteral("idle memory after a restart, %1 batteries x %2 days: %3 MiB (target at 100,000 x 30 days: "
                       "<= %4 MiB)")
            .arg(o.batteries)
            .arg(o.days)
            .arg(ms(idleMiB))
            .arg(TargetIdleMiB));
    say(QStringLiteral("target: 100,000 forecasts fitted after a start within 60 s, scaled from these %1: %2 s - %3")
            .arg(fitted.captured(1))
            .arg(QString::number(fitted.captured(2).toDouble() * 100000.0 / std::max(1.0, fitted.captured(1).toDouble()), 'f', 1))
            .arg(verdict(fitted.captured(2).toDouble() * 100000.0 / std::max(1.0, fitted.captured(1).toDouble()) <= 60.0)));
    say(QStringLiteral("target: slowest version reply while they are fitted under 50 ms: %1 ms - %2")
            .arg(ms(refit.maxMs), verdict(refit.maxMs < TargetTurnMs)));
    say(QStringLiteral("target: longest event-loop turn during thinning under 50 ms: %1 ms (slowest version reply %2 ms) - %3")
            .arg(ms(longestTurn), ms(stalls.maxMs), verdict(longestTurn < TargetTurnMs && stalls.maxMs < TargetTurnMs)));
    say(QStringLiteral("total run time: %1 s").arg(QString::number(double(whole.elapsed()) / 1000.0, 'f', 1)));
    return 0;
}
