#include "ReportPlaces.h"

#include <QDataStream>
#include <QIODevice>
#include <QtEndian>

namespace NVL::Engineering::VK {

namespace {

constexpr quint8 EncodingVersion = 1;

} // namespace

QByteArray ReportPlaces::encoded() const
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << EncodingVersion << qint32(points) << newest << quint8(shares.size());
    for (const Share &share : shares)
        out << share.address << qint32(share.points);
    return bytes;
}

ReportPlaces ReportPlaces::decoded(const QByteArray &bytes)
{
    ReportPlaces places;
    if (bytes.isEmpty())
        return places;
    QDataStream in(bytes);
    quint8 version = 0;
    qint32 points = 0;
    quint8 count = 0;
    in >> version >> points >> places.newest >> count;
    if (version != EncodingVersion || in.status() != QDataStream::Ok)
        return {};
    places.points = points;
    for (int i = 0; i < count; ++i) {
        Share share;
        qint32 sharePoints = 0;
        in >> share.address >> sharePoints;
        share.points = sharePoints;
        places.shares.append(share);
    }
    if (in.status() != QDataStream::Ok)
        return {};
    return places;
}

QByteArray ReportPlaces::ipv4Bytes(quint32 address)
{
    if (address == 0)
        return {};
    QByteArray bytes(4, '\0');
    qToBigEndian(address, bytes.data());
    return bytes;
}

} // namespace NVL::Engineering::VK
