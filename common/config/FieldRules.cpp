#include "FieldRules.h"

#include <QCoreApplication>

#include <algorithm>

namespace NVL::Engineering::VK::FieldRules {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("FieldRules", text);
}

bool isControl(QChar c)
{
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}

// RFC 5322 atext: what an unquoted local part may hold besides its dots.
bool isAtext(QChar c)
{
    const ushort u = c.unicode();
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9'))
        return true;
    return QStringView(u"!#$%&'*+/=?^_`{|}~-").contains(c);
}

bool isDomainName(const QString &domain)
{
    if (domain.size() > 253)
        return false;
    const QStringList labels = domain.split(QLatin1Char('.'));
    return std::all_of(labels.cbegin(), labels.cend(), [](const QString &label) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) || label.endsWith(QLatin1Char('-')))
            return false;
        return std::all_of(label.cbegin(), label.cend(), [](QChar c) {
            const ushort u = c.unicode();
            return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-';
        });
    });
}

std::optional<Problem> firstProblem(std::initializer_list<std::pair<Field, QString>> checks)
{
    for (const auto &[field, reason] : checks)
        if (!reason.isEmpty())
            return Problem{field, reason};
    return std::nullopt;
}

QString text(const std::string &value)
{
    return QString::fromStdString(value);
}

// An empty address is one not entered yet.
QString optionalAddressProblem(const std::string &address)
{
    return address.empty() ? QString() : addressProblem(text(address));
}

} // namespace

QString fieldName(Field field)
{
    switch (field) {
    case Field::SmtpServer: return tr("SMTP server");
    case Field::SmtpUser: return tr("user name");
    case Field::SmtpPassword: return tr("password");
    case Field::SenderName: return tr("sender name");
    case Field::SenderEmail: return tr("sender email");
    case Field::RecipientName: return tr("recipient name");
    case Field::RecipientEmail: return tr("recipient email");
    case Field::NotificationAlias: return tr("notification alias");
    }
    return QString();
}

QString lineProblem(const QString &value)
{
    return std::any_of(value.cbegin(), value.cend(), isControl)
        ? tr("it contains a line break or another control character")
        : QString();
}

QString addressProblem(const QString &address)
{
    if (const QString problem = lineProblem(address); !problem.isEmpty())
        return problem;
    if (address.isEmpty())
        return tr("it is empty");
    if (std::any_of(address.cbegin(), address.cend(), [](QChar c) { return c.unicode() >= 0x80; }))
        return tr("it contains characters outside ASCII");
    if (address.contains(QLatin1Char(' ')))
        return tr("it contains a blank");
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    if (at < 0)
        return tr("it has no @");
    if (address.count(QLatin1Char('@')) > 1)
        return tr("it has more than one @");
    if (address.size() > 254)
        return tr("it is longer than 254 characters");
    const QString local = address.left(at);
    const QString domain = address.mid(at + 1);
    if (local.isEmpty())
        return tr("nothing stands before the @");
    if (domain.isEmpty())
        return tr("nothing follows the @");
    if (local.size() > 64)
        return tr("the part before the @ is longer than 64 characters");
    for (const QChar c : local)
        if (c != QLatin1Char('.') && !isAtext(c))
            return tr("\"%1\" cannot stand before the @").arg(c);
    if (local.startsWith(QLatin1Char('.')) || local.endsWith(QLatin1Char('.')) || local.contains(QLatin1String("..")))
        return tr("the part before the @ starts or ends with a dot, or has two in a row");
    if (!isDomainName(domain))
        return tr("\"%1\" after the @ is no domain name").arg(domain);
    return QString();
}

bool isStorablePassword(const QString &password)
{
    return std::all_of(password.cbegin(), password.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

std::optional<Problem> smtpSettingsProblem(const SmtpSettingsData &settings)
{
    const QString password = text(settings.authentication.password);
    return firstProblem({
        {Field::SmtpServer, lineProblem(text(settings.server))},
        {Field::SmtpUser, lineProblem(text(settings.authentication.username))},
        {Field::SmtpPassword, isStorablePassword(password) ? lineProblem(password)
                                                           : tr("it contains characters outside ASCII")},
        {Field::SenderName, lineProblem(text(settings.sender.name))},
        {Field::SenderEmail, optionalAddressProblem(settings.sender.email)},
    });
}

std::optional<Problem> recipientProblem(const RecipientData &recipient)
{
    return firstProblem({
        {Field::RecipientName, lineProblem(text(recipient.name))},
        {Field::RecipientEmail, optionalAddressProblem(recipient.email)},
    });
}

std::optional<Problem> notificationProblem(const NotificationData &notification)
{
    return firstProblem({{Field::NotificationAlias, lineProblem(text(notification.alias))}});
}

} // namespace NVL::Engineering::VK::FieldRules
