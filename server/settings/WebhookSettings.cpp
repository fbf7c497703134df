#include "WebhookSettings.h"

#include "SettingsValues.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QSettings>

namespace NVL::Engineering::VK {

namespace {

// QSettings splits an unquoted value at its commas; either way the parts are what was written.
QStringList parts(const QVariant &value)
{
    const QStringList raw = value.typeId() == QMetaType::QStringList ? value.toStringList()
                                                                     : value.toString().split(QLatin1Char(','));
    QStringList words;
    for (const QString &part : raw)
        for (const QString &word : part.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            words << word.trimmed();
    return words;
}

QString joined(const QVariant &value)
{
    return (value.typeId() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(',')) : value.toString())
        .trimmed();
}

} // namespace

const QStringList &WebhookSettings::eventKinds()
{
    static const QStringList kinds = {QStringLiteral("battery.due"),    QStringLiteral("battery.now"),
                                      QStringLiteral("battery.class"),  QStringLiteral("battery.silent"),
                                      QStringLiteral("site.flagged"),   QStringLiteral("mail.failed")};
    return kinds;
}

QString WebhookSettings::urlProblem(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("is no web address");
    if (url.scheme() == QLatin1String("https"))
        return QString();
    if (url.scheme() != QLatin1String("http"))
        return QStringLiteral("is neither https:// nor http://");
    // A signed body over plain HTTP is readable by anyone on the path: only this machine may receive it so.
    const QString host = url.host();
    if (host == QLatin1String("localhost") || QHostAddress(host).isLoopback())
        return QString();
    return QStringLiteral("is http:// to another machine; use https:// (http:// is for a loopback address only)");
}

QStringList WebhookSettings::names(QSettings &settings)
{
    settings.beginGroup(QStringLiteral("webhooks"));
    QStringList names;
    for (const QString &key : settings.childKeys()) {
        const qsizetype dot = key.lastIndexOf(QLatin1Char('.'));
        if (dot > 0 && !names.contains(key.left(dot)))
            names << key.left(dot);
    }
    settings.endGroup();
    return names;
}

WebhookSettings WebhookSettings::read(QSettings &settings, QStringList &problems)
{
    using SettingsValues::wholeNumber;
    WebhookSettings result;
    const QString section = QStringLiteral("webhooks/");
    result.retryFirstSeconds = wholeNumber(settings, section + QStringLiteral("retryFirstSeconds"), result.retryFirstSeconds, 1, 3600);
    result.retryMostSeconds = wholeNumber(settings, section + QStringLiteral("retryMostSeconds"), result.retryMostSeconds, 1, 24 * 3600);
    result.retryForSeconds = wholeNumber(settings, section + QStringLiteral("retryForSeconds"), result.retryForSeconds, 0, 7 * 24 * 3600);
    result.timeoutSeconds = wholeNumber(settings, section + QStringLiteral("timeoutSeconds"), result.timeoutSeconds, 1, 600);
    result.answerBytes = wholeNumber(settings, section + QStringLiteral("answerBytes"), result.answerBytes, 1024, 1 << 24);
    const QDir folder = QFileInfo(settings.fileName()).absoluteDir();
    for (const QString &name : names(settings)) {
        const auto value = [&](const char *key) { return settings.value(section + name + QLatin1Char('.') + QLatin1String(key)); };
        const QString prefix = QStringLiteral("[webhooks] %1: ").arg(name);
        WebhookEndpoint endpoint;
        endpoint.name = name;
        const QString url = joined(value("url"));
        endpoint.url = QUrl(url, QUrl::StrictMode);
        if (url.isEmpty()) {
            problems << prefix + QStringLiteral("no url; left out");
            continue;
        }
        if (const QString problem = urlProblem(endpoint.url); !problem.isEmpty()) {
            problems << prefix + QStringLiteral("url=%1 %2; left out").arg(url, problem);
            continue;
        }
        endpoint.secret = joined(value("secret")).toUtf8();
        if (endpoint.secret.isEmpty()) {
            problems << prefix + QStringLiteral("no secret, so the receiver could not tell its posts from forged ones; left out");
            continue;
        }
        QStringList unknown;
        for (const QString &kind : parts(value("events"))) {
            if (kind == QLatin1String("all"))
                endpoint.events = eventKinds();
            else if (eventKinds().contains(kind) && !endpoint.events.contains(kind))
                endpoint.events << kind;
            else if (!eventKinds().contains(kind))
                unknown << kind;
        }
        if (!unknown.isEmpty())
            problems << prefix + QStringLiteral("events %1 unknown and ignored (known: all %2)")
                                     .arg(unknown.join(QLatin1Char(' ')), eventKinds().join(QLatin1Char(' ')));
        if (endpoint.events.isEmpty()) {
            problems << prefix + QStringLiteral("no events; left out");
            continue;
        }
        endpoint.dueDays = wholeNumber(settings, section + name + QStringLiteral(".dueDays"), endpoint.dueDays, 0, 3650);
        if (const QString ca = joined(value("ca")); !ca.isEmpty())
            endpoint.caFile = QDir::cleanPath(folder.absoluteFilePath(ca));
        result.endpoints << endpoint;
    }
    return result;
}

} // namespace NVL::Engineering::VK
