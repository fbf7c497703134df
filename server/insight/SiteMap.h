#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace NVL::Engineering::VK {

// The named address ranges of [sites]: which site an address belongs to. The most specific range wins;
// an address in none is a site of its own, named by the address.
class SiteMap
{
public:
    struct Range
    {
        QString name;
        QByteArray network; // 4 or 16 bytes, the bits past the prefix cleared
        int prefix = 0;
    };

    // False, with the reason, for text that is no CIDR range ("10.1.4.0/24", "2001:db8::/32"; a bare
    // address is a range of one).
    bool add(const QString &name, const QString &cidr, QString *problem = nullptr);
    const QList<Range> &ranges() const { return m_ranges; }

    // The named site of the address, if any.
    std::optional<QString> namedSiteOf(const QByteArray &address) const;
    // The site's name: a named one, or the address itself.
    QString siteOf(const QByteArray &address) const;

    // "10.1.4.7", "2001:db8::1"; empty for no address.
    static QString addressText(const QByteArray &address);
    // The bytes of an address text; empty when it is none.
    static QByteArray addressFrom(const QString &text);

private:
    static QByteArray masked(const QByteArray &address, int prefix);

    QList<Range> m_ranges;
    // By family and prefix length, longest first: the networks of that length and their range's index.
    struct Level
    {
        int size = 0;
        int prefix = 0;
        QHash<QByteArray, int> networks;
    };
    QList<Level> m_levels;
};

} // namespace NVL::Engineering::VK
