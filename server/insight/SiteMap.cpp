#include "SiteMap.h"

#include <QHostAddress>

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

QByteArray bytesOf(const QHostAddress &address)
{
    bool ipv4 = false;
    const quint32 v4 = address.toIPv4Address(&ipv4);
    if (ipv4) {
        const char bytes[] = {char(v4 >> 24), char(v4 >> 16), char(v4 >> 8), char(v4)};
        return QByteArray(bytes, 4);
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return {};
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(v6.c), 16);
}

} // namespace

QByteArray SiteMap::masked(const QByteArray &address, int prefix)
{
    QByteArray out = address;
    for (int i = 0; i < out.size(); ++i) {
        const int keep = std::clamp(prefix - i * 8, 0, 8);
        out[i] = char(quint8(out[i]) & quint8(0xFF00 >> keep));
    }
    return out;
}

bool SiteMap::add(const QString &name, const QString &cidr, QString *problem)
{
    const QString text = cidr.trimmed();
    QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(text.contains(QLatin1Char('/')) ? text : text + QStringLiteral("/%1").arg(text.contains(QLatin1Char(':')) ? 128 : 32));
    QByteArray network = bytesOf(subnet.first);
    if (network.isEmpty() || subnet.second < 0) {
        if (problem)
            *problem = QStringLiteral("\"%1\" is no address range (e.g. 10.1.4.0/24 or 2001:db8::/48)").arg(text);
        return false;
    }
    int prefix = subnet.second;
    // An IPv4 range written in its IPv6-mapped form is the IPv4 range.
    if (network.size() == 4 && subnet.first.protocol() == QAbstractSocket::IPv6Protocol)
        prefix = std::max(0, prefix - 96);
    network = masked(network, prefix);
    m_ranges.append({name, network, prefix});
    auto level = std::find_if(m_levels.begin(), m_levels.end(), [&](const Level &l) {
        return l.size == network.size() && l.prefix == prefix;
    });
    if (level == m_levels.end()) {
        m_levels.append({int(network.size()), prefix, {}});
        std::sort(m_levels.begin(), m_levels.end(), [](const Level &a, const Level &b) { return a.prefix > b.prefix; });
        level = std::find_if(m_levels.begin(), m_levels.end(), [&](const Level &l) {
            return l.size == network.size() && l.prefix == prefix;
        });
    }
    if (!level->networks.contains(network)) // the first line naming a range keeps it
        level->networks.insert(network, int(m_ranges.size() - 1));
    return true;
}

std::optional<QString> SiteMap::namedSiteOf(const QByteArray &address) const
{
    for (const Level &level : m_levels) {
        if (level.size != address.size())
            continue;
        const auto found = level.networks.constFind(masked(address, level.prefix));
        if (found != level.networks.cend())
            return m_ranges.at(*found).name;
    }
    return std::nullopt;
}

QString SiteMap::siteOf(const QByteArray &address) const
{
    if (const auto named = namedSiteOf(address))
        return *named;
    return addressText(address);
}

QString SiteMap::addressText(const QByteArray &address)
{
    if (address.size() == 4)
        return QHostAddress(quint32(quint8(address[0])) << 24 | quint32(quint8(address[1])) << 16
                            | quint32(quint8(address[2])) << 8 | quint32(quint8(address[3])))
            .toString();
    if (address.size() == 16)
        return QHostAddress(reinterpret_cast<const quint8 *>(address.constData())).toString();
    return {};
}

QByteArray SiteMap::addressFrom(const QString &text)
{
    QHostAddress address;
    if (!address.setAddress(text.trimmed()))
        return {};
    return bytesOf(address);
}

} // namespace NVL::Engineering::VK
