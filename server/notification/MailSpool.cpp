#include "MailSpool.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <iterator>

namespace NVL::Engineering::VK::MailSpool {

namespace {

QJsonArray addresses(const QList<PreparedMail::Address> &list)
{
    QJsonArray out;
    for (const PreparedMail::Address &a : list)
        out.append(QJsonObject{{QStringLiteral("email"), a.email}, {QStringLiteral("name"), a.name}});
    return out;
}

QList<PreparedMail::Address> addressesFrom(const QJsonValue &value)
{
    QList<PreparedMail::Address> out;
    for (const QJsonValue &a : value.toArray())
        out.append({a[QLatin1String("email")].toString(), a[QLatin1String("name")].toString()});
    return out;
}

const QString Texts[] = {QStringLiteral("subject"),    QStringLiteral("textSubject"),  QStringLiteral("html"),
                         QStringLiteral("htmlText"),   QStringLiteral("plainText"),    QStringLiteral("notification"),
                         QStringLiteral("alertAlias"), QStringLiteral("alertSerial"), QStringLiteral("alertClass")};

QString *textOf(PreparedMail &mail, int i)
{
    QString *fields[] = {&mail.subject,   &mail.textSubject,       &mail.html,
                         &mail.htmlText,  &mail.plainText,         &mail.notificationAlias,
                         &mail.alertAlias, &mail.alertSerial,      &mail.alertClass};
    return fields[i];
}

} // namespace

bool keep(const QString &path, const QList<PreparedMail> &mails)
{
    QJsonArray all;
    for (PreparedMail mail : mails) {
        QJsonObject o;
        for (int i = 0; i < int(std::size(Texts)); ++i)
            o.insert(Texts[i], *textOf(mail, i));
        o.insert(QStringLiteral("alert"), mail.kind == PreparedMail::Kind::Alert);
        o.insert(QStringLiteral("htmlRecipients"), addresses(mail.htmlRecipients));
        o.insert(QStringLiteral("textRecipients"), addresses(mail.textRecipients));
        all.append(o);
    }
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(all).toJson(QJsonDocument::Compact)) >= 0
        && file.commit();
}

QList<PreparedMail> take(const QString &path, QString *error)
{
    QList<PreparedMail> mails;
    QFile file(path);
    if (!file.exists())
        return mails;
    QJsonParseError parse{};
    const QJsonDocument document = file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll(), &parse)
                                                                  : QJsonDocument();
    file.close();
    if (!document.isArray()) {
        if (error)
            *error = QStringLiteral("%1 cannot be read (%2); kept as %1.unreadable")
                         .arg(path, parse.error != QJsonParseError::NoError ? parse.errorString() : file.errorString());
        QFile::remove(path + QStringLiteral(".unreadable"));
        QFile::rename(path, path + QStringLiteral(".unreadable"));
        return mails;
    }
    for (const QJsonValue &value : document.array()) {
        PreparedMail mail;
        for (int i = 0; i < int(std::size(Texts)); ++i)
            *textOf(mail, i) = value[Texts[i]].toString();
        mail.kind = value[QLatin1String("alert")].toBool() ? PreparedMail::Kind::Alert : PreparedMail::Kind::Report;
        mail.htmlRecipients = addressesFrom(value[QLatin1String("htmlRecipients")]);
        mail.textRecipients = addressesFrom(value[QLatin1String("textRecipients")]);
        if (mail.recipientCount() > 0)
            mails.append(mail);
    }
    QFile::remove(path);
    return mails;
}

} // namespace NVL::Engineering::VK::MailSpool
