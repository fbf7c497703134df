#include "WebhookDocument.h"

#include "LocalDays.h"
#include "WearReport.h"

#include <QDate>
#include <QDateTime>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QUuid>

#include <cmath>

namespace NVL::Engineering::VK {

namespace {

QJsonValue dayText(const std::optional<qint64> &day)
{
    return day ? QJsonValue(QDate(1970, 1, 1).addDays(*day).toString(Qt::ISODate)) : QJsonValue(QJsonValue::Null);
}

QJsonValue number(double value)
{
    return std::isfinite(value) ? QJsonValue(std::round(value * 100) / 100) : QJsonValue(QJsonValue::Null);
}

// A version 4 UUID from the process's seeded generator: an id must be unique, not secret, and the
// system's generator costs a system call per event.
QString eventId()
{
    quint32 words[4];
    QRandomGenerator::global()->fillRange(words);
    QUuid id(words[0], quint16(words[1]), quint16(words[1] >> 16), uchar(words[2]), uchar(words[2] >> 8),
             uchar(words[2] >> 16), uchar(words[2] >> 24), uchar(words[3]), uchar(words[3] >> 8), uchar(words[3] >> 16),
             uchar(words[3] >> 24));
    id.data3 = quint16((id.data3 & 0x0FFF) | 0x4000);
    id.data4[0] = uchar((id.data4[0] & 0x3F) | 0x80);
    return id.toString(QUuid::WithoutBraces);
}

const char *outlookName(ReplacementOutlook::Kind kind)
{
    switch (kind) {
    case ReplacementOutlook::Kind::PoorNow: return "poor_now";
    case ReplacementOutlook::Kind::AtBoundary: return "at_boundary";
    case ReplacementOutlook::Kind::Date: return "date";
    case ReplacementOutlook::Kind::Later: return "later";
    case ReplacementOutlook::Kind::Unknown: break;
    }
    return "unknown";
}

} // namespace

WebhookOutbox::Event WebhookDocument::made(const QString &kind, qint64 now, const QString &field, const QJsonObject &about)
{
    WebhookOutbox::Event event;
    event.id = eventId();
    event.kind = kind;
    event.created = now;
    QJsonObject document{{QStringLiteral("id"), event.id},
                         {QStringLiteral("kind"), kind},
                         {QStringLiteral("time"), QDateTime::fromSecsSinceEpoch(now, Qt::UTC).toString(Qt::ISODate)}};
    if (!field.isEmpty())
        document.insert(field, about);
    event.body = QJsonDocument(document).toJson(QJsonDocument::Compact);
    return event;
}

WebhookOutbox::Event WebhookDocument::battery(const QString &kind, const FleetIndex::Entry &entry, qint64 now,
                                              const QJsonObject &extra)
{
    const BatteryRecord &r = entry.record;
    const std::optional<Forecast> forecast = entry.forecast.brief();
    const ReplacementOutlook outlook = entry.outlook();
    QJsonObject band;
    band.insert(QStringLiteral("outlook"), QLatin1String(outlookName(outlook.kind)));
    band.insert(QStringLiteral("text"), outlook.text(forecast));
    band.insert(QStringLiteral("date"), dayText(outlook.day));
    band.insert(QStringLiteral("earliest"), dayText(forecast ? forecast->earliestDay : std::nullopt));
    band.insert(QStringLiteral("latest"), dayText(forecast ? forecast->latestDay : std::nullopt));
    QJsonObject battery{{QStringLiteral("key"), serialKeyText(r.serialKey())},
                        {QStringLiteral("serial"), serialText(r)},
                        {QStringLiteral("alias"), aliasText(r)},
                        {QStringLiteral("class"), healthName(r)},
                        {QStringLiteral("percent"), entry.percent},
                        {QStringLiteral("reported"), QDateTime::fromSecsSinceEpoch(r.reportTime, Qt::UTC).toString(Qt::ISODate)},
                        {QStringLiteral("forecast"), band}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        battery.insert(it.key(), it.value());
    return made(kind, now, QStringLiteral("battery"), battery);
}

WebhookOutbox::Event WebhookDocument::site(const SiteWear &site, qint64 now)
{
    const QJsonObject about{{QStringLiteral("name"), site.site.name},
                            {QStringLiteral("batteries"), site.site.batteries},
                            {QStringLiteral("fadeTimes"), number(site.site.effect)},
                            {QStringLiteral("fadeTimesLow"), number(site.site.effectLow)},
                            {QStringLiteral("fadeTimesHigh"), number(site.site.effectHigh)},
                            {QStringLiteral("medianFadePerYear"), number(site.site.medianFade)},
                            {QStringLiteral("typeMedianFadePerYear"), number(site.site.typeMedianFade)}};
    return made(QStringLiteral("site.flagged"), now, QStringLiteral("site"), about);
}

WebhookOutbox::Event WebhookDocument::mail(const FailedMail &mail, qint64 now)
{
    const QJsonObject about{{QStringLiteral("notification"), mail.notification},
                            {QStringLiteral("kind"), mail.kind},
                            {QStringLiteral("failure"), mail.failure},
                            {QStringLiteral("recipients"), mail.recipients}};
    return made(QStringLiteral("mail.failed"), now, QStringLiteral("mail"), about);
}

WebhookOutbox::Event WebhookDocument::test(qint64 now)
{
    return made(QStringLiteral("test"), now, QString(), {});
}

} // namespace NVL::Engineering::VK
