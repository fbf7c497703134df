#pragma once

#include <QByteArray>
#include <QList>

namespace NVL::Engineering::VK {

// Where a battery's reports of its newest days came from, so that wear can be told by charging place
// without reading every point again. Addresses are raw bytes: 4 for IPv4, 16 for IPv6.
struct ReportPlaces
{
    struct Share
    {
        QByteArray address;
        int points = 0;
    };

    QByteArray newest;   // of the newest point; empty when it has none
    int points = 0;      // all points of the span, with an address or not
    QList<Share> shares; // the addresses with most points first, at most MaximumShares

    // The span counted back from the battery's newest point.
    static constexpr int SpanDays = 90;
    // More places than this in one quarter is no battery with a home; the rest only count in `points`.
    static constexpr int MaximumShares = 8;

    bool isEmpty() const { return points == 0; }
    QByteArray encoded() const;
    // Empty places for bytes that are no encoding of them.
    static ReportPlaces decoded(const QByteArray &bytes);
    // The IPv4 address of a report as stored in its record (0: none).
    static QByteArray ipv4Bytes(quint32 address);
};

} // namespace NVL::Engineering::VK
