#pragma once

#include <QByteArray>
#include <QString>

namespace NVL::Engineering::VK {

// An HTML document being written: markup of our own goes in as it is, every value as escaped text, so
// that nothing a radio sends (an alias is whatever the radio says) can become markup.
class Html
{
public:
    enum class Section { Overview, Batteries, Battery, Sites, Silent, Plan, SignIn };

    Html &raw(const char *markup)
    {
        m_out += markup;
        return *this;
    }
    Html &raw(const QByteArray &markup)
    {
        m_out += markup;
        return *this;
    }
    Html &text(const QString &value);
    Html &number(qint64 value);
    // "12,345"
    Html &count(qint64 value);
    QByteArray take() { return std::move(m_out); }

    // The characters of markup and attribute quoting replaced by references.
    static QByteArray escaped(const QString &value);
    // The document around a page's main part: head, navigation (with a way to sign out where sign-in
    // is asked for), footer.
    static QByteArray page(const QString &title, Section section, const QByteArray &main, bool signOut = false);

private:
    QByteArray m_out;
};

} // namespace NVL::Engineering::VK
