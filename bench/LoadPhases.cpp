#include "LoadPhases.h"

#include "BenchOutput.h"
#include "BenchRecords.h"
#include "RadioPeer.h"
#include "TcpIngest.h"
#include "TricklePeers.h"
#include "UdpIngest.h"

#include <ConfigurationFile.h>

#include <QElapsedTimer>
#include <QMap>
#include <QStringList>

#include <algorithm>

namespace NVL::Engineering::VK::Bench {

namespace {

constexpr double StallRate = 200.0;
constexpr int StallSeconds = 20;
constexpr int SettlePollMs = 250;
constexpr int SettleQuietMs = 1500;
constexpr int SettleAllowanceMs = 40000;
constexpr int ListAllowanceMs = 30000;
constexpr quint32 TrickleReports = 20000;
constexpr int TrickleRunAllowanceMs = 15000;
constexpr int TrickleRounds = 3;
constexpr int SustainedSeconds = 5;

const std::string recipientUuid = "{5eb2a1c0-0000-4000-8000-000000000001}";

QString fixed(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

SmtpSettingsData smtpSettings(quint16 port)
{
    SmtpSettingsData settings;
    settings.server = "127.0.0.1";
    settings.port = port;
    settings.security = SecurityType::PlainTcp;
    settings.authentication.enabled = false;
    settings.sender.name = "Voltkeep bench";
    settings.sender.email = "voltkeep@example.test";
    return settings;
}

struct Count
{
    bool ok = false;
    qint64 stored = 0;
    bool quiet = false;
    QString error;
};

// Lists until the stored count stops growing and counts the batteries of one tag.
Count settleAndCount(quint16 port, char tag)
{
    Count count;
    RadioPeer peer(QStringLiteral("127.0.0.1"), port, ListAllowanceMs);
    if (!peer.connectToServer()) {
        count.error = peer.errorString();
        return count;
    }
    const UdpIngest::Settle settle =
        UdpIngest::settle(peer.socket(), SettlePollMs, SettleQuietMs, QDeadlineTimer(SettleAllowanceMs), ListAllowanceMs);
    peer.disconnectFromServer();
    if (!settle.ok) {
        count.error = settle.error;
        return count;
    }
    count.ok = true;
    count.quiet = settle.quiet;
    count.stored = countWithTag(settle.last.records, tag);
    return count;
}

QString lossText(qint64 sent, qint64 stored)
{
    const qint64 lost = sent - stored;
    return QStringLiteral("%1 of %2 lost (%3 %)")
        .arg(lost)
        .arg(sent)
        .arg(fixed(sent > 0 ? 100.0 * double(lost) / double(sent) : 0.0, 2));
}

} // namespace

bool LoadPhases::writeConfiguration(quint16 smtpPort)
{
    RecipientData recipient;
    recipient.uuid = recipientUuid;
    recipient.name = "Depot";
    recipient.email = "depot@example.test";
    NotificationData alert;
    alert.alias = "to Fair";
    alert.notificationType = NotificationKind::Triggered;
    alert.triggerValue = 1;
    alert.recipientList = {recipientUuid};
    const ConfigurationFile file;
    return file.setSmtpSettings(smtpSettings(smtpPort)) && file.setRecipients({recipient})
        && file.setNotifications({alert});
}

bool LoadPhases::udpDuringStalledDelivery(const Setup &setup, const Say &say)
{
    struct Case
    {
        QString name;
        quint16 smtpPort;
        char tag;
        quint32 battery;
    };
    const Case cases[] = {
        {QStringLiteral("SMTP server answering each line after 1 s"), setup.slowSmtpPort, 'S', 1},
        {QStringLiteral("SMTP server that never answers"), setup.silentSmtpPort, 'N', 2},
    };
    bool allMet = true;
    for (const Case &c : cases) {
        if (!ConfigurationFile().setSmtpSettings(smtpSettings(c.smtpPort))) {
            say(QStringLiteral("(a) %1: cannot write the SMTP settings").arg(c.name));
            return false;
        }
        // Excellent, then Fair: the fall raises the alert, whose delivery then stalls.
        BatteryRecord excellent = benchRecord('D', c.battery);
        excellent.healthPercent = 99;
        BatteryRecord fair = excellent;
        fair.healthPercent = 84;
        RadioPeer trigger(QStringLiteral("127.0.0.1"), setup.port, ListAllowanceMs);
        if (!trigger.connectToServer()
            || !trigger.sendRaw(RadioPeer::reportMessage(excellent) + RadioPeer::reportMessage(fair))) {
            say(QStringLiteral("(a) %1: cannot send the falling battery: %2").arg(c.name, trigger.errorString()));
            return false;
        }
        // No reply is awaited: a server that mails on its loop would only answer after the delivery.
        const UdpIngest::Offer offer = UdpIngest::offer(setup.port, c.tag, 0, quint32(StallRate * StallSeconds),
                                                        StallRate, QDeadlineTimer(StallSeconds * 1000 + 5000));
        const Count count = settleAndCount(setup.port, c.tag);
        trigger.disconnectFromServer();
        if (!count.ok) {
            say(QStringLiteral("(a) %1: count failed: %2").arg(c.name, count.error));
            allMet = false;
            continue;
        }
        const bool met = count.stored == offer.sent;
        allMet = allMet && met;
        say(QStringLiteral("(a) UDP at %1/s for %2 s during an alert delivery to an %3: %4; target 0 lost - %5")
                .arg(fixed(StallRate, 0))
                .arg(StallSeconds)
                .arg(c.name, lossText(offer.sent, count.stored), verdict(met)));
    }
    return true;
}

bool LoadPhases::udpBursts(const Setup &setup, const Say &say)
{
    struct Burst
    {
        quint32 size;
        char tag;
        double allowedLoss; // share of the burst
    };
    const Burst bursts[] = {{500, '5', 0.0}, {2000, '2', 0.0}, {10000, 'X', 0.01}};
    for (const Burst &burst : bursts) {
        const UdpIngest::Offer offer =
            UdpIngest::offer(setup.port, burst.tag, 0, burst.size, 0, QDeadlineTimer(30000));
        const Count count = settleAndCount(setup.port, burst.tag);
        if (!count.ok) {
            say(QStringLiteral("(b) burst of %1: count failed: %2").arg(burst.size).arg(count.error));
            continue;
        }
        const qint64 lost = offer.sent - count.stored;
        const bool met = double(lost) <= burst.allowedLoss * double(burst.size);
        say(QStringLiteral("(b) burst of %1 datagrams sent in %2 ms (%3/s): %4; target %5 - %6")
                .arg(burst.size)
                .arg(fixed(double(offer.nanoseconds) / 1e6))
                .arg(fixed(offer.nanoseconds > 0 ? double(offer.sent) * 1e9 / double(offer.nanoseconds) : 0, 0))
                .arg(lossText(offer.sent, count.stored),
                     burst.allowedLoss > 0 ? QStringLiteral("under 1 % lost") : QStringLiteral("0 lost"),
                     verdict(met)));
    }
    return true;
}

bool LoadPhases::tcpBesideTricklers(const Setup &setup, const Say &say)
{
    // Rounds of alone, beside 1, 5 and 20 trickling peers, compared by their medians: on a shared
    // machine the disk's sync cost and the load drift more between runs than the peers change them.
    // Every run reports the same batteries, so each one replaces the same rows and its closing list reply
    // covers a store of the same size; with new batteries per run the store grew within a round and the
    // later settings paid for the longer list. The first run only stores them once.
    const int settings[] = {0, 1, 5, 20};
    const char tag = 'c';
    if (!TcpIngest::run(setup.port, 1, tag, 0, TrickleReports, QDeadlineTimer(TrickleRunAllowanceMs)).ok) {
        say(QStringLiteral("(c) the first run, storing the batteries of the timed runs, failed"));
        return false;
    }
    QMap<int, QList<double>> rates;
    for (int round = 1; round <= TrickleRounds; ++round) {
        QStringList line;
        for (const int peers : settings) {
            std::unique_ptr<TricklePeers> tricklers;
            if (peers > 0) {
                tricklers = std::make_unique<TricklePeers>(setup.port, peers);
                if (!tricklers->startTrickling()) {
                    say(QStringLiteral("(c) only %1 of %2 trickling peers connected").arg(tricklers->connected()).arg(peers));
                    return false;
                }
            }
            QElapsedTimer clock;
            clock.start();
            const TcpIngest::Result result =
                TcpIngest::run(setup.port, 1, tag, 0, TrickleReports, QDeadlineTimer(TrickleRunAllowanceMs));
            const qint64 elapsed = result.ok ? result.nanoseconds : clock.nsecsElapsed();
            const double rate = elapsed > 0 ? double(result.confirmed) * 1e9 / double(elapsed) : 0.0;
            rates[peers].append(rate);
            line << QStringLiteral("%1: %2/s%3")
                        .arg(peers == 0 ? QStringLiteral("alone") : QStringLiteral("beside %1").arg(peers))
                        .arg(fixed(rate, 0))
                        .arg(result.ok ? QString() : QStringLiteral(" (%1 of %2 confirmed; %3)")
                                                         .arg(result.confirmed)
                                                         .arg(TrickleReports)
                                                         .arg(result.error));
        }
        say(QStringLiteral("(c) round %1, TCP ingest of %2 reports over one connection: %3")
                .arg(round)
                .arg(TrickleReports)
                .arg(line.join(QStringLiteral(", "))));
    }
    const auto median = [](QList<double> values) {
        std::sort(values.begin(), values.end());
        return values.isEmpty() ? 0.0 : values.at(values.size() / 2);
    };
    // Each round's own ratio: the drift between rounds then cancels out.
    const auto ratio = [&](int peers) {
        QList<double> ratios;
        for (qsizetype i = 0; i < rates.value(0).size() && i < rates.value(peers).size(); ++i)
            if (rates.value(0).at(i) > 0)
                ratios.append(rates.value(peers).at(i) / rates.value(0).at(i));
        return median(ratios);
    };
    QStringList ratios;
    for (const int peers : {1, 5, 20})
        ratios << QStringLiteral("beside %1: %2").arg(peers).arg(fixed(ratio(peers), 3));
    const double twenty = ratio(20);
    say(QStringLiteral("(c) alone: median %1 reports/s; median of the rounds' ratios to alone: %2; target >= 0.9 "
                       "beside 20 - %3")
            .arg(fixed(median(rates.value(0))), ratios.join(QStringLiteral(", ")), verdict(twenty >= 0.9)));
    return true;
}

bool LoadPhases::sustainedIngest(const Setup &setup, const Say &say)
{
    if (setup.rawRate <= 0) {
        say(QStringLiteral("(d) no raw durable-commit rate: not measured"));
        return false;
    }
    const double tcpShare = setup.tcpRate / setup.rawRate;
    say(QStringLiteral("(d) sustained TCP ingest %1 reports/s = %2 x the raw durable-commit rate %3/s; target >= 5 x - %4")
            .arg(fixed(setup.tcpRate), fixed(tcpShare, 2), fixed(setup.rawRate), verdict(tcpShare >= 5.0)));

    // Offered at six times the raw rate: kept in full only by an ingest that far above one commit per report.
    const double pace = qBound(1000.0, 6.0 * setup.rawRate, 50000.0);
    const quint32 count = quint32(pace * SustainedSeconds);
    const UdpIngest::Offer offer =
        UdpIngest::offer(setup.port, 'V', 0, count, pace, QDeadlineTimer(SustainedSeconds * 1000 + 10000));
    const Count stored = settleAndCount(setup.port, 'V');
    if (!stored.ok) {
        say(QStringLiteral("(d) UDP count failed: %1").arg(stored.error));
        return false;
    }
    const double seconds = double(offer.nanoseconds) / 1e9;
    const double udpRate = seconds > 0 ? double(stored.stored) / seconds : 0.0;
    const double udpShare = udpRate / setup.rawRate;
    say(QStringLiteral("(d) sustained UDP ingest offered at %1/s for %2 s: %3; stored %4 reports/s = %5 x the raw "
                       "durable-commit rate; target >= 5 x - %6")
            .arg(fixed(pace, 0), fixed(seconds, 2), lossText(offer.sent, stored.stored), fixed(udpRate),
                 fixed(udpShare, 2), verdict(udpShare >= 5.0)));
    return true;
}

} // namespace NVL::Engineering::VK::Bench
