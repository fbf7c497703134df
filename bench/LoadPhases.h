#pragma once

#include <QString>

#include <functional>

namespace NVL::Engineering::VK::Bench {

// Ingest under load: reports while the server mails to a stalling SMTP server, bursts of datagrams,
// TCP ingest beside trickling peers, and sustained UDP ingest; each prints its figures and verdict.
class LoadPhases
{
public:
    using Say = std::function<void(const QString &)>;

    struct Setup
    {
        quint16 port = 0;
        quint16 slowSmtpPort = 0;   // answers every line after 1 s
        quint16 silentSmtpPort = 0; // never answers
        double rawRate = 0;         // durable commits per second measured in this run
        double tcpRate = 0;         // sustained TCP ingest of this run
    };

    // Writes the notification configuration that mails an alert through the slow SMTP server;
    // call before the server starts, with NORVALE_COMMON_APPDATA set to the server's common folder.
    static bool writeConfiguration(quint16 smtpPort);

    // Each returns false only when the phase could not be run at all.
    static bool udpDuringStalledDelivery(const Setup &setup, const Say &say);
    static bool udpBursts(const Setup &setup, const Say &say);
    static bool tcpBesideTricklers(const Setup &setup, const Say &say);
    static bool sustainedIngest(const Setup &setup, const Say &say);
};

} // namespace NVL::Engineering::VK::Bench
