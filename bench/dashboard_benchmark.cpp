// Dashboard benchmark of the Voltkeep server: a synthetic fleet (100,000 batteries by default) and the
// time of the overview, of pages of 100 batteries sorted and filtered in several ways, of one battery's
// page, and of /metrics, each against its target. Every page is rendered on the server's event loop, so
// its time is also how long radios wait behind it. Loopback traffic only.

#include "BenchOutput.h"
#include "BenchServer.h"
#include "HttpProbe.h"
#include "SyntheticFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace NVL::Engineering::VK;
using namespace NVL::Engineering::VK::Bench;

namespace {

constexpr int ServerStartMs = 300000;
constexpr double TargetOverviewMs = 200;
constexpr double TargetPageMs = 100;
constexpr double TargetMetricsMs = 50;

struct Timing
{
    double median = 0;
    double slowest = 0;
    double cpu = 0; // the server's processor time per answer
    qsizetype bytes = 0;
};

// The first answer warms caches and is left out; then `samples` answers.
std::optional<Timing> measure(const BenchServer &server, quint16 port, const QString &path, int samples, QString &error)
{
    std::vector<double> times;
    qsizetype bytes = 0;
    double cpuBefore = 0;
    for (int i = 0; i <= samples; ++i) {
        if (i == 1)
            cpuBefore = server.cpuMilliseconds().value_or(0);
        const HttpProbe::Reply r = HttpProbe::get(port, path);
        if (!r.ok || r.status != 200) {
            error = QStringLiteral("%1: %2 %3").arg(path).arg(r.status).arg(r.error);
            return std::nullopt;
        }
        if (i > 0)
            times.push_back(r.milliseconds);
        bytes = r.body.size();
    }
    const double cpu = (server.cpuMilliseconds().value_or(0) - cpuBefore) / samples;
    std::sort(times.begin(), times.end());
    return Timing{times[times.size() / 2], times.back(), cpu, bytes};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures the Voltkeep dashboard and /metrics on a large fleet."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("batteries"), QStringLiteral("Batteries of the synthetic fleet."), QStringLiteral("N"), QStringLiteral("100000")},
        {QStringLiteral("days"), QStringLiteral("Days of their history."), QStringLiteral("D"), QStringLiteral("60")},
        {QStringLiteral("samples"), QStringLiteral("Answers timed per page."), QStringLiteral("N"), QStringLiteral("9")},
    });
    parser.process(app);
    const int batteries = std::max(1, parser.value(QStringLiteral("batteries")).toInt());
    const int days = std::max(31, parser.value(QStringLiteral("days")).toInt());
    const int samples = std::max(1, parser.value(QStringLiteral("samples")).toInt());

    QTemporaryDir dir;
    BenchServer server(QStringLiteral(VK_VOLTKEEP_BIN), dir.path());
    const quint16 port = BenchServer::freePort();
    const quint16 http = BenchServer::freePort();
    if (!server.writePortSetting(port))
        return fail(QStringLiteral("cannot write vk.cfg"));
    QFile cfg(server.dataFolder() + QStringLiteral("/vk.cfg"));
    if (!cfg.open(QIODevice::Append) || cfg.write(QStringLiteral("[http]\nlisten=127.0.0.1:%1\n").arg(http).toUtf8()) <= 0)
        return fail(QStringLiteral("cannot write vk.cfg"));
    cfg.close();

    SyntheticFleet::Options options;
    options.batteries = batteries;
    options.days = days;
    options.denseDays = 0;
    QElapsedTimer clock;
    clock.start();
    const SyntheticFleet::Result fleet = SyntheticFleet(options).write(server.dataFolder(), 80);
    if (!fleet.ok)
        return fail(QStringLiteral("synthetic fleet: ") + fleet.error);
    say(QStringLiteral("synthetic fleet: %1 batteries x %2 days, %3 points, written in %4 s")
            .arg(batteries)
            .arg(days)
            .arg(fleet.points)
            .arg(QString::number(double(clock.elapsed()) / 1000.0, 'f', 1)));

    clock.restart();
    if (!server.start(ServerStartMs))
        return fail(QStringLiteral("server start failed: ") + server.errorString(), &server);
    say(QStringLiteral("server start with the fleet index loaded: %1 s").arg(QString::number(double(clock.elapsed()) / 1000.0, 'f', 1)));
    // The first retention pass after a start works in turns of the event loop; the pages are measured after it.
    const QDeadlineTimer passDeadline(600000);
    while (!server.logSinceStart().contains(QLatin1String("History retention done")) && !passDeadline.hasExpired())
        QThread::msleep(200);
    say(QStringLiteral("first retention pass done after %1 s").arg(QString::number(double(clock.elapsed()) / 1000.0, 'f', 1)));

    struct Page
    {
        const char *title;
        QString path;
        double target;
    };
    const QString key = QStringLiteral("00004251%1").arg(batteries / 2, 8, 16, QLatin1Char('0')).toUpper();
    const Page pages[] = {
        {"overview /", QStringLiteral("/"), TargetOverviewMs},
        {"batteries, first page (worst first)", QStringLiteral("/batteries"), TargetPageMs},
        {"batteries, page 500", QStringLiteral("/batteries?page=500"), TargetPageMs},
        {"batteries by alias, descending, page 37", QStringLiteral("/batteries?sort=alias&dir=desc&page=37"), TargetPageMs},
        {"batteries by predicted date, class Fair", QStringLiteral("/batteries?class=fair&sort=forecast"), TargetPageMs},
        {"batteries, text filter", QStringLiteral("/batteries?q=radio%200123"), TargetPageMs},
        {"batteries by report date, CSV of a page", QStringLiteral("/batteries.csv?sort=reported&page=3"), TargetPageMs},
        {"one battery's page", QStringLiteral("/batteries/") + key, TargetPageMs},
        {"/metrics", QStringLiteral("/metrics"), TargetMetricsMs},
        {"/healthz", QStringLiteral("/healthz"), TargetMetricsMs},
    };
    QStringList verdicts;
    for (const Page &page : pages) {
        QString error;
        const auto t = measure(server, http, page.path, samples, error);
        if (!t)
            return fail(error, &server);
        const bool met = t->median < page.target;
        say(QStringLiteral("%1: median %2 ms, slowest %3 ms, server processor time %4 ms per answer, %5 KiB")
                .arg(QLatin1String(page.title), ms(t->median), ms(t->slowest), ms(t->cpu))
                .arg(t->bytes / 1024));
        verdicts << QStringLiteral("target: %1 under %2 ms: %3 ms - %4")
                        .arg(QLatin1String(page.title), ms(page.target), ms(t->median),
                             met ? QStringLiteral("met") : QStringLiteral("NOT met"));
    }
    const auto memory = server.memory();
    // For comparison: the API's whole-fleet answer, which reads vk.db and renders every battery.
    QString error;
    if (const auto api = measure(server, http, QStringLiteral("/api/v1/batteries"), 2, error))
        say(QStringLiteral("for comparison, the API's whole fleet /api/v1/batteries: median %1 ms, %2 KiB")
                .arg(ms(api->median))
                .arg(api->bytes / 1024));
    const auto memoryAfterApi = server.memory();
    server.stop();
    for (const QString &line : std::as_const(verdicts))
        say(line);
    if (memory && memoryAfterApi)
        say(QStringLiteral("server peak resident memory: VmHWM %1 MiB with the dashboard's pages, %2 MiB after the API's "
                           "whole-fleet answer")
                .arg(ms(double(memory->peakKiB) / 1024.0), ms(double(memoryAfterApi->peakKiB) / 1024.0)));
    return 0;
}
