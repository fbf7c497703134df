// vkpeer: an administrator's peer of the Voltkeep radio port.
#include "FleetTable.h"
#include "RadioPeer.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

using namespace NVL::Engineering::VK;

namespace {

enum ExitCode { Ok = 0, Usage = 1, Unreached = 2, TimedOut = 3, BadReply = 4 };

void printError(const QString &text)
{
    std::fprintf(stderr, "vkpeer: %s\n", text.toLocal8Bit().constData());
}

int failure(const RadioPeer &peer)
{
    printError(peer.errorString());
    return peer.timedOut() ? TimedOut : (peer.unreached() ? Unreached : BadReply);
}

bool parseHex(const QString &text, int bytes, QByteArray &out)
{
    const QByteArray raw = QByteArray::fromHex(text.toLatin1());
    if (text.size() != bytes * 2 || raw.size() != bytes || raw.toHex().toUpper() != text.toUpper().toLatin1())
        return false;
    out = raw;
    return true;
}

bool parseNumber(const QString &text, quint64 max, quint64 &out)
{
    bool ok = false;
    const quint64 value = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toULongLong(&ok, 16)
                                                                                      : text.toULongLong(&ok, 10);
    if (!ok || value > max)
        return false;
    out = value;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vkpeer"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Talks to a Voltkeep server over its radio port.\n\n"
        "Commands:\n"
        "  list [--csv] [--keys]     print the stored batteries\n"
        "  delete SERIALHEX...       delete batteries by their 16-digit serial key (see list --keys)\n"
        "  version                   ask the server for its protocol version\n"
        "  report [options]          send one battery report (TCP, or UDP with --udp)"));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("list, delete, version or report"));
    const QCommandLineOption host({QStringLiteral("H"), QStringLiteral("host")}, QStringLiteral("Server host (default localhost)."), QStringLiteral("host"), QStringLiteral("localhost"));
    const QCommandLineOption port({QStringLiteral("p"), QStringLiteral("port")}, QStringLiteral("Server port (default 9362)."), QStringLiteral("port"), QStringLiteral("9362"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("Milliseconds to wait for the server (default 5000)."), QStringLiteral("ms"), QStringLiteral("5000"));
    const QCommandLineOption csv(QStringLiteral("csv"), QStringLiteral("list: comma-separated values for a spreadsheet."));
    const QCommandLineOption keys(QStringLiteral("keys"), QStringLiteral("list: add the raw serial key that delete takes."));
    const QCommandLineOption udp(QStringLiteral("udp"), QStringLiteral("report: send as one UDP datagram."));
    const QCommandLineOption type(QStringLiteral("type"), QStringLiteral("report: battery type code (decimal or 0x hex)."), QStringLiteral("code"), QStringLiteral("0"));
    const QCommandLineOption cycles(QStringLiteral("cycles"), QStringLiteral("report: charge cycle count."), QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption capacity(QStringLiteral("capacity"), QStringLiteral("report: full charge capacity in mAh."), QStringLiteral("mAh"), QStringLiteral("3780"));
    const QCommandLineOption serial(QStringLiteral("serial"), QStringLiteral("report: 16 hex digits of the battery serial."), QStringLiteral("hex"), QStringLiteral("0000000000000000"));
    const QCommandLineOption esn(QStringLiteral("esn"), QStringLiteral("report: 16 hex digits of the radio ESN."), QStringLiteral("hex"), QStringLiteral("0000000000000000"));
    const QCommandLineOption alias(QStringLiteral("alias"), QStringLiteral("report: radio alias (at most 20 bytes of UTF-8)."), QStringLiteral("text"));
    const QCommandLineOption health(QStringLiteral("health"), QStringLiteral("report: self-measured health percent."), QStringLiteral("percent"), QStringLiteral("0"));
    const QCommandLineOption kind(QStringLiteral("kind"), QStringLiteral("report: kind flag byte."), QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption recordVersion(QStringLiteral("record-version"), QStringLiteral("report: record format version (1 or 2 are valid)."), QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption peerVersion(QStringLiteral("peer-version"), QStringLiteral("version: the protocol version to announce."), QStringLiteral("n"), QStringLiteral("1"));
    parser.addOptions({host, port, timeout, csv, keys, udp, type, cycles, capacity, serial, esn, alias, health, kind,
                       recordVersion, peerVersion});
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty()) {
        printError(QStringLiteral("no command given; see --help"));
        return Usage;
    }
    quint64 portValue = 0, timeoutValue = 0;
    if (!parseNumber(parser.value(port), 65535, portValue) || !parseNumber(parser.value(timeout), 3600000, timeoutValue)) {
        printError(QStringLiteral("invalid --port or --timeout"));
        return Usage;
    }
    RadioPeer peer(parser.value(host), quint16(portValue), int(timeoutValue));
    const QString command = args.first();

    if (command == QLatin1String("report")) {
        BatteryRecord record;
        quint64 n = 0;
        QByteArray bytes;
        const auto number = [&](const QCommandLineOption &option, quint64 max) {
            if (parseNumber(parser.value(option), max, n))
                return true;
            printError(QStringLiteral("invalid --%1").arg(option.names().constLast()));
            return false;
        };
        if (!number(recordVersion, 255)) return Usage;
        record.version = quint8(n);
        if (!number(health, 255)) return Usage;
        record.healthPercent = quint8(n);
        if (!number(kind, 255)) return Usage;
        record.kindFlag = quint8(n);
        if (!number(type, 0xFFFFFFFFu)) return Usage;
        record.typeCode = quint32(n);
        if (!number(cycles, 65535)) return Usage;
        record.cycleCount = quint16(n);
        if (!number(capacity, 65535)) return Usage;
        record.fullCapacity = quint16(n);
        if (!parseHex(parser.value(serial), 8, bytes)) {
            printError(QStringLiteral("--serial needs exactly 16 hex digits"));
            return Usage;
        }
        std::copy(bytes.cbegin(), bytes.cend(), record.serial);
        if (!parseHex(parser.value(esn), 8, bytes)) {
            printError(QStringLiteral("--esn needs exactly 16 hex digits"));
            return Usage;
        }
        std::copy(bytes.cbegin(), bytes.cend(), record.esn);
        const QByteArray aliasBytes = parser.value(alias).toUtf8();
        if (aliasBytes.size() > 20) {
            printError(QStringLiteral("--alias is longer than 20 bytes"));
            return Usage;
        }
        std::copy(aliasBytes.cbegin(), aliasBytes.cend(), record.alias);
        if (parser.isSet(udp))
            return peer.sendReportDatagram(record) ? Ok : failure(peer);
        if (!peer.connectToServer() || !peer.sendReport(record))
            return failure(peer);
        peer.disconnectFromServer();
        return Ok;
    }

    if (command == QLatin1String("delete")) {
        QList<QByteArray> serials;
        for (const QString &text : args.mid(1)) {
            QByteArray key;
            if (!parseHex(text, 8, key)) {
                printError(QStringLiteral("'%1' is not a 16-digit hex serial key").arg(text));
                return Usage;
            }
            serials << key;
        }
        if (serials.isEmpty()) {
            printError(QStringLiteral("delete needs at least one serial key"));
            return Usage;
        }
        if (!peer.connectToServer() || !peer.deleteSerials(serials))
            return failure(peer);
        peer.disconnectFromServer();
        return Ok;
    }

    if (command == QLatin1String("list")) {
        if (!peer.connectToServer())
            return failure(peer);
        const auto records = peer.list();
        if (!records)
            return failure(peer);
        const FleetTable table(*records, parser.isSet(keys));
        const QByteArray out = (parser.isSet(csv) ? table.toCsv() : table.toText()).toUtf8();
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        peer.disconnectFromServer();
        return Ok;
    }

    if (command == QLatin1String("version")) {
        quint64 v = 0;
        if (!parseNumber(parser.value(peerVersion), 255, v)) {
            printError(QStringLiteral("invalid --peer-version"));
            return Usage;
        }
        if (!peer.connectToServer())
            return failure(peer);
        const auto version = peer.version(quint8(v));
        if (!version)
            return failure(peer);
        std::printf("Protocol version %u\n", unsigned(*version));
        peer.disconnectFromServer();
        return Ok;
    }

    printError(QStringLiteral("unknown command '%1'; see --help").arg(command));
    return Usage;
}
