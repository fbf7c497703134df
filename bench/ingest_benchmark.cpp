// Ingest benchmark of the Voltkeep server: runs the real program on a temporary data folder and prints
// TCP and UDP ingest rates, the raw durable-commit rate of the same disk, list reply times and the server's
// peak resident memory. Traffic goes to the loopback address only; every loop is bounded by a count and a deadline.

#include "BenchOutput.h"
#include "BenchRecords.h"
#include "BenchServer.h"
#include "ClassFlood.h"
#include "DurableCommitBench.h"
#include "ListProbe.h"
#include "LoadPhases.h"
#include "RadioPeer.h"
#include "StallingSmtpServer.h"
#include "StoreFiller.h"
#include "TcpIngest.h"
#include "UdpIngest.h"
#include "WebhookReceiver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

using namespace NVL::Engineering::VK;
using namespace NVL::Engineering::VK::Bench;

namespace {

// Time allowances of the phases (ms); each is cut further by what is left of --time-limit.
constexpr int RawAllowanceMs = 30000; // each of the two runs
constexpr int TcpAllowanceMs = 60000;
constexpr int UdpOfferAllowanceMs = 10000;
constexpr int UdpSettleAllowanceMs = 20000;
constexpr int UdpPollMs = 250;
constexpr int UdpQuietMs = 1500;
constexpr int FillOverTcpAllowanceMs = 60000;
constexpr int ServerStartMs = 30000;
constexpr int ListAllowanceMs = 20000;

constexpr double TargetIngestShare = 0.80;
// Of SQLite's own batched-upsert rate: what a server that batches well can reach.
constexpr double TargetBatchedShare = 0.5;
constexpr quint32 LimitBatch = 4096;
// Of the same ingest by a server without the history: the history must not slow the radios.
constexpr double TargetHistoryShare = 0.9;
// Of the same ingest by a server without webhooks: events are written beside the reports, posted aside.
constexpr double TargetWebhookShare = 0.95;
constexpr int WebhookRounds = 5;
// A pass of the same batteries again takes some 0.1 s: one alone is mostly noise, so each round times
// several, back to back.
constexpr int WebhookRepeats = 8;
constexpr int PostingAllowanceMs = 120000;
constexpr int FloodSeconds = 10;
constexpr quint32 FloodBatteries = 1000;
constexpr double TargetListMs = 1000.0;
constexpr double TargetMemoryMiB = 64.0;
constexpr double TargetLargeIdleMiB = 300.0; // idle, past 100,000 batteries (up to a million)

struct Options
{
    quint32 batteries = 10000;
    quint32 udp = 10000;
    quint32 raw = 10000;
    quint32 large = 100000;
    int lateMinutes = 10; // the later idle sample after the large store; 0 leaves both out
    int connections = 1;
    bool fillOverTcp = false;
    int fillConnections = 4;
    double udpRate = 0;
    int listRepeats = 3;
    int timeLimitS = 170;
    bool keep = false;
    bool skipLarge = false;
    bool skipLoad = false;
    bool history = true;
    bool webhooks = true;
    quint32 webhookBatteries = 20000; // each round's first sight raises some 20,000 events to post
    QString server = QStringLiteral(VK_VOLTKEEP_BIN);
};

QString seconds(qint64 ns)
{
    return QString::number(double(ns) / 1e9, 'f', 2);
}

QString milliseconds(double ms)
{
    return QString::number(ms, 'f', 1);
}

double perSecond(qint64 count, qint64 ns)
{
    return ns > 0 ? double(count) * 1e9 / double(ns) : 0.0;
}

QString rate(double value)
{
    return QString::number(value, 'f', 1);
}

double mebibytes(qint64 kib)
{
    return double(kib) / 1024.0;
}

bool turnHistoryOff(const BenchServer &server)
{
    QFile cfg(server.dataFolder() + QStringLiteral("/vk.cfg"));
    return cfg.open(QIODevice::Append) && cfg.write("[history]\nenabled=false\n") > 0;
}

QDeadlineTimer within(int allowanceMs, const QDeadlineTimer &overall)
{
    return QDeadlineTimer(qMax<qint64>(0, qMin<qint64>(allowanceMs, overall.remainingTime())));
}

std::optional<quint32> positive(const QCommandLineParser &parser, const QString &name, quint32 maximum)
{
    bool ok = false;
    const qulonglong value = parser.value(name).toULongLong(&ok);
    if (!ok || value == 0 || value > maximum) {
        std::fprintf(stderr, "--%s wants a whole number from 1 to %u\n", qPrintable(name), maximum);
        return std::nullopt;
    }
    return quint32(value);
}

std::optional<Options> parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Measures the Voltkeep server's report ingest, list replies and memory against a private instance on loopback."));
    parser.addHelpOption();
    const Options defaults;
    parser.addOptions({
        {QStringLiteral("batteries"), QStringLiteral("Distinct batteries reported over TCP."), QStringLiteral("N"),
         QString::number(defaults.batteries)},
        {QStringLiteral("udp"), QStringLiteral("Distinct batteries reported over UDP."), QStringLiteral("N"),
         QString::number(defaults.udp)},
        {QStringLiteral("raw"), QStringLiteral("Rows of the raw durable-commit measurement."), QStringLiteral("N"),
         QString::number(defaults.raw)},
        {QStringLiteral("large"), QStringLiteral("Stored batteries for the large list and memory figures."),
         QStringLiteral("N"), QString::number(defaults.large)},
        {QStringLiteral("connections"), QStringLiteral("TCP connections of the ingest phase."), QStringLiteral("N"),
         QString::number(defaults.connections)},
        {QStringLiteral("fill"),
         QStringLiteral("How to reach the large store: prefill (server stopped, rows written into vk.db) or tcp."),
         QStringLiteral("way"), QStringLiteral("prefill")},
        {QStringLiteral("fill-connections"), QStringLiteral("TCP connections when filling over TCP."),
         QStringLiteral("N"), QString::number(defaults.fillConnections)},
        {QStringLiteral("udp-rate"), QStringLiteral("Datagrams per second offered; 0 sends as fast as possible."),
         QStringLiteral("R"), QStringLiteral("0")},
        {QStringLiteral("list-repeats"), QStringLiteral("Timed list requests per store size."), QStringLiteral("N"),
         QString::number(defaults.listRepeats)},
        {QStringLiteral("time-limit"), QStringLiteral("Bound of the sending phases together, in seconds."),
         QStringLiteral("s"), QString::number(defaults.timeLimitS)},
        {QStringLiteral("keep"), QStringLiteral("Keep the temporary data folder and print its path.")},
        {QStringLiteral("server"), QStringLiteral("The server program to measure, e.g. one built from an older commit."),
         QStringLiteral("path"), QStringLiteral(VK_VOLTKEEP_BIN)},
        {QStringLiteral("skip-large"), QStringLiteral("Leave out the large store, its list replies and memory.")},
        {QStringLiteral("late-minutes"),
         QStringLiteral("Idle memory a minute and N minutes after the large store's lists (10; 0 leaves it out)."),
         QStringLiteral("N"), QStringLiteral("10")},
        {QStringLiteral("skip-load"),
         QStringLiteral("Leave out ingest under load: stalled mail, bursts, trickling peers, sustained UDP.")},
        {QStringLiteral("no-history"), QStringLiteral("Run the server with [history] enabled=false.")},
        {QStringLiteral("skip-webhooks"), QStringLiteral("Leave out ingest with a webhook against without.")},
        {QStringLiteral("webhook-batteries"), QStringLiteral("Distinct batteries of each pass with a webhook against without."),
         QStringLiteral("N"), QString::number(defaults.webhookBatteries)},
    });
    parser.process(app);

    Options options;
    const auto batteries = positive(parser, QStringLiteral("batteries"), 1000000);
    const auto udp = positive(parser, QStringLiteral("udp"), 1000000);
    const auto raw = positive(parser, QStringLiteral("raw"), 1000000);
    const auto large = positive(parser, QStringLiteral("large"), 5000000);
    const auto connections = positive(parser, QStringLiteral("connections"), 16);
    const auto fillConnections = positive(parser, QStringLiteral("fill-connections"), 16);
    const auto repeats = positive(parser, QStringLiteral("list-repeats"), 20);
    const auto timeLimit = positive(parser, QStringLiteral("time-limit"), 3600);
    const auto webhookBatteries = positive(parser, QStringLiteral("webhook-batteries"), 1000000);
    if (!webhookBatteries || !batteries || !udp || !raw || !large || !connections || !fillConnections || !repeats || !timeLimit)
        return std::nullopt;
    bool rateOk = false;
    const double udpRate = parser.value(QStringLiteral("udp-rate")).toDouble(&rateOk);
    if (!rateOk || udpRate < 0) {
        std::fprintf(stderr, "--udp-rate wants a number of datagrams per second, 0 or more\n");
        return std::nullopt;
    }
    const QString fill = parser.value(QStringLiteral("fill"));
    if (fill != QLatin1String("prefill") && fill != QLatin1String("tcp")) {
        std::fprintf(stderr, "--fill is prefill or tcp\n");
        return std::nullopt;
    }
    options.batteries = *batteries;
    options.udp = *udp;
    options.raw = *raw;
    options.large = *large;
    options.connections = int(*connections);
    options.fillOverTcp = fill == QLatin1String("tcp");
    options.fillConnections = int(*fillConnections);
    options.udpRate = udpRate;
    options.listRepeats = int(*repeats);
    options.timeLimitS = int(*timeLimit);
    options.keep = parser.isSet(QStringLiteral("keep"));
    options.skipLarge = parser.isSet(QStringLiteral("skip-large"));
    options.lateMinutes = std::max(0, parser.value(QStringLiteral("late-minutes")).toInt());
    options.skipLoad = parser.isSet(QStringLiteral("skip-load"));
    options.history = !parser.isSet(QStringLiteral("no-history"));
    options.webhooks = !parser.isSet(QStringLiteral("skip-webhooks"));
    options.webhookBatteries = *webhookBatteries;
    options.server = parser.value(QStringLiteral("server"));
    return options;
}

struct ListTimes
{
    bool ok = false;
    quint32 count = 0;
    double medianMs = 0;
    double minMs = 0;
    double maxMs = 0;
    QStringList samples; // in the order of the requests
    QString error;
};

ListTimes timeLists(quint16 port, int repeats)
{
    ListTimes times;
    RadioPeer peer(QStringLiteral("127.0.0.1"), port, ListAllowanceMs);
    if (!peer.connectToServer()) {
        times.error = peer.errorString();
        return times;
    }
    std::vector<double> samples;
    for (int i = 0; i < repeats; ++i) {
        const ListProbe::Reply reply = ListProbe::request(peer.socket(), QDeadlineTimer(ListAllowanceMs));
        if (!reply.ok) {
            times.error = reply.error;
            return times;
        }
        times.count = reply.count;
        samples.push_back(double(reply.nanoseconds) / 1e6);
        times.samples << milliseconds(samples.back());
    }
    peer.disconnectFromServer();
    std::sort(samples.begin(), samples.end());
    times.medianMs = samples[samples.size() / 2];
    times.minMs = samples.front();
    times.maxMs = samples.back();
    times.ok = true;
    return times;
}

void sayListTimes(const ListTimes &times, int repeats)
{
    say(QStringLiteral("list reply, %1 batteries: median %2 ms (min %3, max %4; %5 requests, request sent -> last byte "
                       "received; in order: %6 ms)")
            .arg(times.count)
            .arg(milliseconds(times.medianMs), milliseconds(times.minMs), milliseconds(times.maxMs))
            .arg(repeats)
            .arg(times.samples.join(QStringLiteral(", "))));
}

std::optional<BenchServer::Memory> sayMemory(const BenchServer &server, const QString &when)
{
    const auto memory = server.memory();
    if (!memory) {
        say(QStringLiteral("server peak memory %1: unavailable").arg(when));
        return memory;
    }
    say(QStringLiteral("server peak memory %1: VmHWM %2 MiB (VmRSS %3 MiB)")
            .arg(when, QString::number(mebibytes(memory->peakKiB), 'f', 1),
                 QString::number(mebibytes(memory->residentKiB), 'f', 1)));
    return memory;
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

int failRun(const QString &what, BenchServer *server = nullptr)
{
    out().flush();
    std::fprintf(stderr, "vk_bench_ingest: %s\n", qPrintable(what));
    if (server) {
        const QString log = server->logSinceStart().trimmed();
        if (!log.isEmpty())
            std::fprintf(stderr, "server log since its last start:\n%s\n", qPrintable(log.right(4000)));
    }
    return 1;
}

bool subscribeWebhook(const BenchServer &server, quint16 receiverPort)
{
    QFile cfg(server.dataFolder() + QStringLiteral("/vk.cfg"));
    return cfg.open(QIODevice::Append)
        && cfg.write(QStringLiteral("[webhooks]\nbench.url=http://127.0.0.1:%1/hook\nbench.events=all\nbench.secret=bench\n")
                         .arg(receiverPort)
                         .toUtf8())
            > 0;
}

// TCP ingest by a server with one webhook receiver subscribed to every event against one with none, in
// alternating rounds on fresh data folders so that the disk's drift hits both. Each round times the
// batteries' first reports (about half of them Poor, so that each of those raises battery.due and
// battery.now: an event for every report), then WebhookRepeats passes of the same batteries again, as radios
// report every day (events only where something changed). The median of the rounds' shares, first sight
// then again: each round's servers run one after the other.
struct WebhookShares
{
    double firstSight = 0;
    double again = 0;
};

std::optional<WebhookShares> webhookShares(const Options &options, const QString &folder, quint16 port,
                                           const QDeadlineTimer &overall)
{
    WebhookReceiver receiver;
    std::vector<double> shares[2]; // of each round, first sight and again
    for (int round = 0; round < WebhookRounds; ++round) {
        double without[2] = {};
        for (const bool subscribed : {false, true}) {
            BenchServer server(options.server, folder + QStringLiteral("/webhooks-%1-%2").arg(subscribed).arg(round));
            if (!server.writePortSetting(port) || (subscribed && !subscribeWebhook(server, receiver.port()))
                || !server.start(ServerStartMs)) {
                failRun(QStringLiteral("the server of the webhook round did not start: ") + server.errorString(), &server);
                return std::nullopt;
            }
            double rates[2] = {};
            qint64 againReports = 0, againNs = 0;
            QString posting;
            for (int pass = 0; pass < 1 + WebhookRepeats; ++pass) {
                QElapsedTimer passTime;
                passTime.start();
                const qint64 postedBefore = receiver.received();
                const TcpIngest::Result run = TcpIngest::run(port, options.connections, SerialTag::Tcp, 0,
                                                             options.webhookBatteries, within(TcpAllowanceMs, overall));
                if (!run.ok) {
                    failRun(QStringLiteral("TCP ingest of the webhook round failed: ") + run.error, &server);
                    return std::nullopt;
                }
                // The reports this pass had confirmed: the list holds the first pass's batteries as well, so
                // counting it made a second pass cut short by its allowance look fast.
                const qint64 stored = countWithTag(run.list.records, SerialTag::Tcp);
                if (pass == 0 && stored != run.confirmed) {
                    failRun(QStringLiteral("TCP ingest of the webhook round: the list shows %1 batteries, %2 reports were confirmed")
                                .arg(stored)
                                .arg(run.confirmed),
                            &server);
                    return std::nullopt;
                }
                if (run.deadlineHit)
                    say(QStringLiteral("TCP ingest of the webhook round: pass %1 stopped at its time allowance after %2 reports")
                            .arg(pass + 1)
                            .arg(run.confirmed));
                if (pass == 0) {
                    rates[0] = perSecond(run.confirmed, run.nanoseconds);
                } else {
                    againReports += run.confirmed;
                    againNs += run.nanoseconds;
                }
                // The events of the first pass posted before the second: what a quiet day's reports cost.
                if (pass == 0 && subscribed) {
                    receiver.waitUntilQuiet(2000, QDeadlineTimer(PostingAllowanceMs));
                    const qint64 events = receiver.received() - postedBefore;
                    const qint64 ms = receiver.lastReceivedMs() - passTime.msecsSinceReference();
                    posting = QStringLiteral("; its %1 events all received %2 s after the first report = %3 events/s")
                                  .arg(events)
                                  .arg(double(ms) / 1000, 0, 'f', 2)
                                  .arg(rate(perSecond(events, ms * 1000000)));
                }
                if (pass == 0)
                    server.settle(TcpAllowanceMs);
            }
            rates[1] = perSecond(againReports, againNs);
            for (int pass = 0; pass < 2; ++pass) {
                if (!subscribed)
                    without[pass] = rates[pass];
                else if (without[pass] > 0)
                    shares[pass].push_back(rates[pass] / without[pass]);
            }
            const qint64 posted = receiver.received();
            server.stop();
            say(QStringLiteral("TCP ingest, %1, round %2: first sight %3 reports/s, again %4 reports/s%5")
                    .arg(subscribed ? QStringLiteral("one webhook receiver of every event") : QStringLiteral("no webhook"))
                    .arg(round + 1)
                    .arg(rate(rates[0]), rate(rates[1]))
                    .arg(subscribed ? posting + QStringLiteral(" (%1 events received so far)").arg(posted) : QString()));
        }
    }
    // The median round: one round that a disk's sync or the scheduler slowed moves a mean by a tenth.
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    if (shares[0].size() != WebhookRounds || shares[1].size() != WebhookRounds)
        return std::nullopt;
    return WebhookShares{median(shares[0]), median(shares[1])};
}

// A peer that flips batteries between Good and Poor at one connection's pace, with a receiver of every
// event: the events run far ahead of the outbox, and what the server holds for them must stay bounded.
bool classFlood(const Options &options, const QString &folder, quint16 port)
{
    WebhookReceiver receiver;
    BenchServer server(options.server, folder + QStringLiteral("/class-flood"));
    if (!server.writePortSetting(port) || !subscribeWebhook(server, receiver.port()) || !server.start(ServerStartMs)) {
        failRun(QStringLiteral("the server of the class flood did not start: ") + server.errorString(), &server);
        return false;
    }
    server.settle(TcpAllowanceMs);
    const auto before = server.memory();
    server.resetPeak();
    const ClassFlood::Result flood = ClassFlood::run(port, FloodBatteries, FloodSeconds);
    const auto after = server.memory();
    const QString log = server.logSinceStart();
    server.stop();
    if (!flood.ok || !before || !after) {
        failRun(QStringLiteral("the class flood failed: ") + flood.error);
        return false;
    }
    say(QStringLiteral("class flood: %1 reports flipping %2 batteries between Good and Poor in %3 s (%4 reports/s, each a "
                       "battery.class event), one receiver of every event: peak memory %5 MiB above the flood's start; "
                       "%6 posts received; the server logged %7 warning(s) that the outbox was behind")
                .arg(flood.reports)
                .arg(FloodBatteries)
                .arg(seconds(flood.nanoseconds), rate(perSecond(flood.reports, flood.nanoseconds)))
                .arg(QString::number(mebibytes(after->peakKiB - before->residentKiB), 'f', 1))
                .arg(receiver.received())
                .arg(log.count(QLatin1String("the webhook outbox is"))));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vk_bench_ingest"));
    const auto parsed = parseOptions(app);
    if (!parsed)
        return 2;
    const Options options = *parsed;

    QElapsedTimer runClock;
    runClock.start();
    const QDeadlineTimer overall(qint64(options.timeLimitS) * 1000);

    QTemporaryDir temp;
    if (!temp.isValid())
        return failRun(QStringLiteral("cannot create a temporary folder: ") + temp.errorString());
    temp.setAutoRemove(!options.keep);

    BenchServer server(options.server, temp.path());
    const quint16 port = BenchServer::freePort();
    if (port == 0 || !server.writePortSetting(port))
        return failRun(QStringLiteral("cannot set up the server's port"));
    if (!options.history && !turnHistoryOff(server))
        return failRun(QStringLiteral("cannot turn the history off in vk.cfg"));
    say(QStringLiteral("server: %1 -e, data folder %2, port %3 (loopback traffic only)")
            .arg(options.server, server.dataFolder())
            .arg(port));

    // 1. The disk's own price for what the server does per report, before the server competes for it;
    //    measured again after the TCP phase, since a virtual disk's sync cost drifts.
    const QString rawPath = server.dataFolder() + QStringLiteral("/durable-commits.db");
    std::vector<double> rawRates; // of the runs that committed anything
    const auto measureRaw = [&](const QString &when) -> std::optional<double> {
        const DurableCommitBench::Result raw =
            DurableCommitBench::run(rawPath, options.raw, within(RawAllowanceMs, overall));
        if (!raw.ok) {
            failRun(QStringLiteral("raw durable-commit measurement failed: ") + raw.error);
            return std::nullopt;
        }
        const double value = perSecond(raw.committed, raw.nanoseconds);
        if (raw.committed > 0)
            rawRates.push_back(value);
        say(QStringLiteral("raw durable commits %1 (QSQLITE, server's pragmas, WAL, synchronous FULL, one "
                           "BEGIN/DELETE/INSERT/COMMIT per row, separate file in the data folder): %2 rows in %3 s = "
                           "%4 commits/s%5")
                .arg(when)
                .arg(raw.committed)
                .arg(seconds(raw.nanoseconds), rate(value),
                     raw.deadlineHit ? QStringLiteral(" (stopped at its time allowance)") : QString()));
        return value;
    };
    const auto rawBefore = measureRaw(QStringLiteral("before the server runs"));
    if (!rawBefore)
        return 1;

    // The server reads its notification configuration at start: an alert mailed through an SMTP server
    // that stalls, used by the load phases.
    StallingSmtpServer slowSmtp(1000);
    StallingSmtpServer silentSmtp(-1);
    if (!options.skipLoad) {
        qputenv("NORVALE_COMMON_APPDATA", temp.path().toUtf8());
        if (!slowSmtp.startListening() || !silentSmtp.startListening()
            || !LoadPhases::writeConfiguration(slowSmtp.port()))
            return failRun(QStringLiteral("cannot set up the stalling SMTP servers and the notification configuration"));
    }

    // The same ingest by a server without the history, on a data folder of its own, before the measured
    // server runs: what the history costs the radios, in one run.
    std::optional<double> withoutHistoryRate;
    if (options.history) {
        BenchServer plain(options.server, temp.path() + QStringLiteral("/without-history"));
        if (!plain.writePortSetting(port) || !turnHistoryOff(plain) || !plain.start(ServerStartMs))
            return failRun(QStringLiteral("the server without the history did not start: ") + plain.errorString(), &plain);
        const TcpIngest::Result bare = TcpIngest::run(port, options.connections, SerialTag::Tcp, 0, options.batteries,
                                                      within(TcpAllowanceMs, overall));
        plain.stop();
        if (!bare.ok)
            return failRun(QStringLiteral("TCP ingest without the history failed: ") + bare.error);
        withoutHistoryRate = perSecond(countWithTag(bare.list.records, SerialTag::Tcp), bare.nanoseconds);
        say(QStringLiteral("TCP ingest without the history ([history] enabled=false, data folder of its own): %1 "
                           "reports in %2 s = %3 reports/s")
                .arg(bare.confirmed)
                .arg(seconds(bare.nanoseconds), rate(*withoutHistoryRate)));
    }

    if (options.webhooks) {
        const auto shares = webhookShares(options, temp.path(), port, overall);
        if (!shares)
            return 1;
        say(QStringLiteral("TCP ingest with one webhook receiver of every event against without, first sight of %1 "
                           "batteries (an event for every report), median of %2 alternating rounds: %3")
                .arg(options.webhookBatteries)
                .arg(WebhookRounds)
                .arg(QString::number(shares->firstSight, 'f', 3)));
        say(QStringLiteral("target: TCP ingest of the same batteries again with one webhook receiver of every event >= "
                           "%1 of the same ingest without, median of %2 alternating rounds of %3 passes each: %4 - %5")
                .arg(TargetWebhookShare)
                .arg(WebhookRounds)
                .arg(WebhookRepeats)
                .arg(QString::number(shares->again, 'f', 3), verdict(shares->again >= TargetWebhookShare)));
        if (!classFlood(options, temp.path(), port))
            return 1;
    }

    if (!server.start(ServerStartMs))
        return failRun(server.errorString(), &server);
    sayMemory(server, QStringLiteral("after start-up"));

    // 2. TCP ingest on an empty store.
    const TcpIngest::Result tcp = TcpIngest::run(port, options.connections, SerialTag::Tcp, 0, options.batteries,
                                                 within(TcpAllowanceMs, overall));
    if (!tcp.ok)
        return failRun(QStringLiteral("TCP ingest failed: ") + tcp.error, &server);
    const qint64 tcpStored = countWithTag(tcp.list.records, SerialTag::Tcp);
    if (tcpStored != tcp.confirmed)
        return failRun(QStringLiteral("TCP ingest: the list shows %1 batteries, %2 reports were confirmed")
                           .arg(tcpStored)
                           .arg(tcp.confirmed),
                       &server);
    const double tcpRate = perSecond(tcpStored, tcp.nanoseconds);
    say(QStringLiteral("TCP ingest: %1 reports over %2 connection(s) in %3 s = %4 reports/s (saved: the closing list "
                       "reply shows all %5; time runs to its last byte)%6")
            .arg(tcp.sent)
            .arg(options.connections)
            .arg(seconds(tcp.nanoseconds), rate(tcpRate))
            .arg(tcpStored)
            .arg(tcp.deadlineHit ? QStringLiteral(" (stopped at its time allowance, %1 of %2 sent)")
                                       .arg(tcp.sent)
                                       .arg(options.batteries)
                                 : QString()));
    sayMemory(server, QStringLiteral("after TCP ingest"));
    if (withoutHistoryRate && *withoutHistoryRate > 0)
        say(QStringLiteral("target: TCP ingest with the history >= %1 of the same ingest without it, same run: %2 (%3 / "
                           "%4 per second) - %5")
                .arg(TargetHistoryShare)
                .arg(QString::number(tcpRate / *withoutHistoryRate, 'f', 3), rate(tcpRate), rate(*withoutHistoryRate),
                     verdict(tcpRate / *withoutHistoryRate >= TargetHistoryShare)));

    const auto rawAfter = measureRaw(QStringLiteral("after TCP ingest, server idle"));
    if (!rawAfter)
        return 1;
    double rawRate = 0;
    for (double value : rawRates)
        rawRate += value / double(rawRates.size());
    say(QStringLiteral("raw durable commits, mean of %1 run(s): %2 commits/s").arg(rawRates.size()).arg(rate(rawRate)));
    const DurableCommitBench::Result batched =
        DurableCommitBench::runBatched(rawPath, std::max<quint32>(options.batteries, 4 * LimitBatch), LimitBatch,
                                       within(RawAllowanceMs, overall));
    if (!batched.ok)
        return failRun(QStringLiteral("batched-upsert measurement failed: ") + batched.error, &server);
    const double batchedRate = perSecond(batched.committed, batched.nanoseconds);
    say(QStringLiteral("SQLite's batched-upsert limit (same pragmas, one prepared upsert, %1 rows a transaction, primary "
                       "key only): %2 rows in %3 s = %4 rows/s")
            .arg(LimitBatch)
            .arg(batched.committed)
            .arg(seconds(batched.nanoseconds), rate(batchedRate)));
    const double batchedShare = batchedRate > 0 ? tcpRate / batchedRate : 0.0;
    say(QStringLiteral("target: TCP ingest >= %1 of SQLite's batched-upsert limit measured in this run: %2 (%3 / %4 per "
                       "second, history %5) - %6")
            .arg(TargetBatchedShare)
            .arg(QString::number(batchedShare, 'f', 3), rate(tcpRate), rate(batchedRate),
                 options.history ? QStringLiteral("on") : QStringLiteral("off"), verdict(batchedShare >= TargetBatchedShare)));

    const ListTimes smallLists = timeLists(port, options.listRepeats);
    if (!smallLists.ok)
        return failRun(QStringLiteral("list timing failed: ") + smallLists.error, &server);
    sayListTimes(smallLists, options.listRepeats);

    // 3. UDP ingest: no replies, so loss shows only in the stored count once it stops growing.
    const UdpIngest::Offer offer = UdpIngest::offer(port, SerialTag::Udp, 0, options.udp, options.udpRate,
                                                    within(UdpOfferAllowanceMs, overall));
    say(QStringLiteral("UDP ingest offered: %1 datagrams in %2 s = %3 reports/s (%4)%5%6")
            .arg(offer.sent)
            .arg(QString::number(double(offer.nanoseconds) / 1e9, 'f', 3), rate(perSecond(offer.sent, offer.nanoseconds)),
                 options.udpRate > 0 ? QStringLiteral("paced at %1/s").arg(options.udpRate) : QStringLiteral("unpaced"))
            .arg(offer.failed ? QStringLiteral(", %1 refused by the local socket").arg(offer.failed) : QString(),
                 offer.deadlineHit ? QStringLiteral(" (stopped at its time allowance)") : QString()));
    UdpIngest::Settle settle;
    {
        RadioPeer peer(QStringLiteral("127.0.0.1"), port, ListAllowanceMs);
        if (!peer.connectToServer())
            return failRun(QStringLiteral("cannot connect for the UDP count: ") + peer.errorString(), &server);
        settle = UdpIngest::settle(peer.socket(), UdpPollMs, UdpQuietMs, within(UdpSettleAllowanceMs, overall),
                                   ListAllowanceMs);
        peer.disconnectFromServer();
    }
    if (!settle.ok)
        return failRun(QStringLiteral("UDP count failed: ") + settle.error, &server);
    const qint64 udpStored = countWithTag(settle.last.records, SerialTag::Udp);
    const qint64 udpLost = offer.sent - udpStored;
    say(QStringLiteral("UDP ingest result: %1 stored, %2 lost of %3 sent (%4 % lost); count %5 after %6 polls, last "
                       "growth %7 s into the wait")
            .arg(udpStored)
            .arg(udpLost)
            .arg(offer.sent)
            .arg(QString::number(offer.sent ? 100.0 * double(udpLost) / double(offer.sent) : 0.0, 'f', 2),
                 settle.quiet ? QStringLiteral("steady for %1 ms").arg(UdpQuietMs)
                              : QStringLiteral("NOT yet steady for %1 ms when the time allowance ended").arg(UdpQuietMs))
            .arg(settle.polls)
            .arg(seconds(settle.nanoseconds)));
    sayMemory(server, QStringLiteral("after UDP ingest"));

    if (!options.skipLoad) {
        LoadPhases::Setup setup;
        setup.port = port;
        setup.slowSmtpPort = slowSmtp.port();
        setup.silentSmtpPort = silentSmtp.port();
        setup.rawRate = rawRate;
        setup.tcpRate = tcpRate;
        say(QStringLiteral("load phases (uptime before: %1)").arg(loadAverage()));
        LoadPhases::udpDuringStalledDelivery(setup, say);
        say(QStringLiteral("mails accepted: %1 by the slow SMTP server (%2 connection(s)), %3 connection(s) to the silent one")
                .arg(slowSmtp.messagesAccepted())
                .arg(slowSmtp.connectionsAccepted())
                .arg(silentSmtp.connectionsAccepted()));
        LoadPhases::udpBursts(setup, say);
        LoadPhases::tcpBesideTricklers(setup, say);
        LoadPhases::sustainedIngest(setup, say);
        say(QStringLiteral("load phases done (load average after: %1)").arg(loadAverage()));
        sayMemory(server, QStringLiteral("after the load phases"));
    }
    if (options.skipLarge) {
        server.stop();
        say(QStringLiteral("large store skipped; whole run %1 s").arg(seconds(runClock.nsecsElapsed())));
        return 0;
    }

    // 4. The large store: its figures are wanted at exactly `large` batteries, so a pre-fill replaces
    // whatever the earlier phases left (the load phases alone store several hundred thousand).
    quint32 stored = settle.last.count;
    if (!options.fillOverTcp) {
        server.stop();
        const StoreFiller::Result fill = StoreFiller::fill(server.databasePath(), SerialTag::Fill, 0, options.large,
                                                           StoreFiller::Mode::Replace);
        if (!fill.ok)
            return failRun(QStringLiteral("pre-fill failed: ") + fill.error);
        if (!server.start(ServerStartMs))
            return failRun(QStringLiteral("restart after the pre-fill failed: ") + server.errorString(), &server);
        stored = quint32(fill.rowsAfter);
        say(QStringLiteral("large store set by pre-fill: server stopped, the %1 rows of the earlier phases replaced by %2 "
                           "valid rows written into vk.db through QSQLITE in one transaction (%3 s), server restarted "
                           "(peak memory below counts from this restart)")
                .arg(fill.rowsBefore)
                .arg(fill.rowsAfter)
                .arg(seconds(fill.nanoseconds)));
    } else if (stored < options.large && options.skipLoad) {
        const quint32 missing = options.large - stored;
        const TcpIngest::Result fill = TcpIngest::run(port, options.fillConnections, SerialTag::Fill, 0, missing,
                                                      within(FillOverTcpAllowanceMs, overall));
        if (!fill.ok)
            return failRun(QStringLiteral("filling over TCP failed: ") + fill.error, &server);
        stored = fill.list.count;
        say(QStringLiteral("large store reached over TCP: %1 reports over %2 connections in %3 s = %4 reports/s, "
                           "%5 batteries stored%6")
                .arg(fill.confirmed)
                .arg(options.fillConnections)
                .arg(seconds(fill.nanoseconds), rate(perSecond(fill.confirmed, fill.nanoseconds)))
                .arg(stored)
                .arg(fill.deadlineHit ? QStringLiteral(" (stopped at its time allowance, short of %1)").arg(options.large)
                                      : QString()));
    } else if (!options.skipLoad) {
        say(QStringLiteral("large store over TCP: the load phases already stored more than %1 batteries; the figures "
                           "below are at the count the list shows").arg(options.large));
    }
    const ListTimes largeLists = timeLists(port, options.listRepeats);
    if (!largeLists.ok)
        return failRun(QStringLiteral("list timing failed: ") + largeLists.error, &server);
    sayListTimes(largeLists, options.listRepeats);
    const auto largeMemory = sayMemory(server, QStringLiteral("at %1 stored batteries, after the list replies").arg(largeLists.count));
    // Idle once the periodic work (insight, the forecasts' fitting) has run on what the radios sent.
    QList<qint64> idle;
    if (options.lateMinutes > 0) {
        QElapsedTimer sinceLists;
        sinceLists.start();
        for (const int minutes : {1, std::max(1, options.lateMinutes)}) {
            const qint64 due = qint64(minutes) * 60000 - sinceLists.elapsed();
            if (due > 0)
                QThread::msleep(quint64(due));
            server.settle();
            idle.append(server.idleResidentKiB());
        }
    }
    server.stop();

    // 5. Verdicts.
    const double share = rawRate > 0 ? tcpRate / rawRate : 0.0;
    say(QStringLiteral("ratio server TCP ingest / raw durable commits (mean): %1 (%2 / %3 per second)")
            .arg(QString::number(share, 'f', 3), rate(tcpRate), rate(rawRate)));
    if (rawRate > 0 && tcpRate > 0)
        say(QStringLiteral("target: TCP ingest >= 80 % of the raw durable-commit rate: %1 % - %2")
                .arg(QString::number(100.0 * share, 'f', 1), verdict(share >= TargetIngestShare)));
    else
        say(QStringLiteral("target: TCP ingest >= 80 % of the raw durable-commit rate: not measured (no time left) - NOT met"));
    const bool largeReached = largeLists.count >= options.large;
    const QString shortOf = largeReached ? QString()
                                         : QStringLiteral(" (measured at %1 batteries, short of %2)")
                                               .arg(largeLists.count)
                                               .arg(options.large);
    say(QStringLiteral("target: list reply of %1 batteries in under 1 s: median %2 ms - %3%4")
            .arg(options.large)
            .arg(milliseconds(largeLists.medianMs), verdict(largeReached && largeLists.medianMs < TargetListMs), shortOf));
    if (largeMemory) {
        const double mib = mebibytes(largeMemory->peakKiB);
        say(QStringLiteral("target: resident memory under 64 MiB at %1 batteries: VmHWM %2 MiB - %3%4")
                .arg(options.large)
                .arg(QString::number(mib, 'f', 1), verdict(largeReached && mib < TargetMemoryMiB), shortOf));
    } else {
        say(QStringLiteral("target: resident memory under 64 MiB at %1 batteries: not measured - NOT met").arg(options.large));
    }
    if (idle.size() == 2) {
        const double target = largeLists.count <= 100000 ? TargetMemoryMiB : TargetLargeIdleMiB;
        const double worst = mebibytes(std::max(idle[0], idle[1]));
        say(QStringLiteral("target: idle memory at %1 batteries <= %2 MiB: %3 MiB a minute after the lists, %4 MiB %5 "
                           "minutes after them - %6")
                .arg(largeLists.count)
                .arg(target)
                .arg(QString::number(mebibytes(idle[0]), 'f', 1), QString::number(mebibytes(idle[1]), 'f', 1))
                .arg(options.lateMinutes)
                .arg(verdict(worst <= target)));
    }
    say(QStringLiteral("total run time: %1 s").arg(seconds(runClock.nsecsElapsed())));
    if (options.keep)
        say(QStringLiteral("data folder kept: %1").arg(temp.path()));
    return 0;
}
