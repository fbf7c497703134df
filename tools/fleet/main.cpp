// vkfleet: writes a synthetic fleet with its history into a data folder of the stopped server.
#include "DataPaths.h"
#include "EventSink.h"
#include "SyntheticFleet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

using namespace NVL::Engineering::VK;

namespace {

// The store's log entries go to the terminal, not to the system log.
class TerminalSink final : public EventSink
{
public:
    void writeEvent(const QString &, const QString &message, LogType, quint32, quint16, const QByteArray &) override
    {
        std::fprintf(stderr, "%s\n", qPrintable(message));
    }
};

int number(const QCommandLineParser &parser, const QString &name, int low, int high, bool &ok)
{
    bool parsed = false;
    const int value = parser.value(name).toInt(&parsed);
    if (!parsed || value < low || value > high) {
        std::fprintf(stderr, "--%s wants a whole number from %d to %d\n", qPrintable(name), low, high);
        ok = false;
    }
    return value;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vkfleet"));
    TerminalSink sink;
    EventSink::setCurrent(&sink);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes N batteries with D days of history into the Voltkeep data folder (the server must be stopped)."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("batteries"), QStringLiteral("Batteries of the fleet."), QStringLiteral("N"), QStringLiteral("200")},
        {QStringLiteral("days"), QStringLiteral("Days of history."), QStringLiteral("D"), QStringLiteral("730")},
        {QStringLiteral("dense-days"), QStringLiteral("Newest days with several reports a day."), QStringLiteral("D"),
         QStringLiteral("30")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the fleet."), QStringLiteral("S"), QStringLiteral("1")},
        {QStringLiteral("boundary"), QStringLiteral("Percentage the forecasts aim at."), QStringLiteral("P"),
         QStringLiteral("80")},
        {QStringLiteral("folder"),
         QStringLiteral("The server's data folder (default: <common>/Norvale/Voltkeep, as the server computes it)."),
         QStringLiteral("path")},
    });
    parser.process(app);
    bool ok = true;
    SyntheticFleet::Options options;
    options.batteries = number(parser, QStringLiteral("batteries"), 1, 1000000, ok);
    options.days = number(parser, QStringLiteral("days"), 1, 20 * 365, ok);
    options.denseDays = number(parser, QStringLiteral("dense-days"), 0, 20 * 365, ok);
    options.seed = quint32(number(parser, QStringLiteral("seed"), 0, 0x7FFFFFFF, ok));
    const int boundary = number(parser, QStringLiteral("boundary"), 1, 100, ok);
    if (!ok)
        return 1;
    QString folder = parser.value(QStringLiteral("folder"));
    if (folder.isEmpty())
        folder = DataPaths::current().serverFolder;
    if (QFileInfo::exists(folder + QStringLiteral("/vk-history.db"))) {
        std::fprintf(stderr, "%s already holds a history: remove vk.db and vk-history.db* first\n", qPrintable(folder));
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    const SyntheticFleet::Result result = SyntheticFleet(options).write(folder, boundary);
    if (!result.ok) {
        std::fprintf(stderr, "vkfleet: %s\n", qPrintable(result.error));
        return 1;
    }
    std::printf("%d batteries, %lld points written into %s in %.1f s\n", options.batteries,
                static_cast<long long>(result.points), qPrintable(folder), double(clock.elapsed()) / 1000.0);
    // The sites its chargers stand at and the names of its types, so that the insight pages have places
    // to tell of; a section the folder's vk.cfg has already is left as it is.
    QFile cfg(folder + QStringLiteral("/vk.cfg"));
    QByteArray existing = cfg.open(QIODevice::ReadOnly) ? cfg.readAll() : QByteArray();
    cfg.close();
    const std::pair<const char *, QString> sections[] = {{"[sites]", SyntheticFleet::sitesSection()},
                                                         {"[types]", SyntheticFleet::typesSection()}};
    for (const auto &[heading, section] : sections) {
        if (existing.contains(heading)) {
            std::printf("vk.cfg has a %s section already: left as it is\n", heading);
            continue;
        }
        const QByteArray added = ((existing.isEmpty() || existing.endsWith('\n') ? QString() : QStringLiteral("\n")) + section).toUtf8();
        if (!cfg.open(QIODevice::Append) || cfg.write(added) != added.size()) {
            std::fprintf(stderr, "vkfleet: could not write %s into %s\n", heading, qPrintable(cfg.fileName()));
            return 1;
        }
        cfg.close();
        existing += added;
        std::printf("vk.cfg: %s written\n", heading);
    }
    return 0;
}
