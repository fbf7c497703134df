#include "ServerSettings.h"

#include "Log.h"
#include "SettingsValues.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSysInfo>

namespace NVL::Engineering::VK {

namespace {

using SettingsValues::onOff;
using SettingsValues::wholeNumber;

ConnectionLimits connectionLimits(QSettings &settings)
{
    ConnectionLimits limits;
    limits.idleMs =
        wholeNumber(settings, QStringLiteral("connections/idleSeconds"), limits.idleMs / 1000, 1, 24 * 3600) * 1000;
    limits.connectionsPerAddress =
        wholeNumber(settings, QStringLiteral("connections/perAddress"), limits.connectionsPerAddress, 1, 65535);
    const int unsentMiB =
        wholeNumber(settings, QStringLiteral("connections/unsentMiB"), int(limits.unsentBytes >> 20), 1, 4096);
    limits.unsentBytes = qint64(unsentMiB) << 20;
    return limits;
}

HistorySettings historySettings(QSettings &settings)
{
    HistorySettings history;
    history.enabled = onOff(settings, QStringLiteral("history/enabled"), history.enabled);
    history.years = wholeNumber(settings, QStringLiteral("history/years"), history.years, 1, 100);
    history.boundary = wholeNumber(settings, QStringLiteral("history/boundary"), history.boundary, 1, 100);
    return history;
}

HttpLimits httpLimits(QSettings &settings)
{
    HttpLimits limits;
    limits.connections = wholeNumber(settings, QStringLiteral("http/connections"), limits.connections, 1, 65535);
    limits.perAddress = wholeNumber(settings, QStringLiteral("http/perAddress"), limits.perAddress, 1, 65535);
    limits.headSeconds = wholeNumber(settings, QStringLiteral("http/headSeconds"), limits.headSeconds, 1, 3600);
    limits.idleSeconds = wholeNumber(settings, QStringLiteral("http/idleSeconds"), limits.idleSeconds, 1, 24 * 3600);
    limits.requestLineBytes =
        wholeNumber(settings, QStringLiteral("http/requestLineBytes"), limits.requestLineBytes, 256, 1 << 20);
    limits.headerBytes = wholeNumber(settings, QStringLiteral("http/headerBytes"), limits.headerBytes, 1024, 1 << 20);
    return limits;
}

// [http] listen and token; a listen value that is no address:port leaves its reason in listenError.
void readListen(QSettings &settings, HttpSettings &http)
{
    http.token = settings.value(QStringLiteral("http/token")).toString().trimmed();
    const QVariant listen = settings.value(QStringLiteral("http/listen"));
    if (!listen.isValid()) {
        http.listenText = QStringLiteral("127.0.0.1:%1").arg(HttpSettings::DefaultPort);
        return;
    }
    // QSettings splits an unquoted value with a comma into a list: that is no address either.
    const QString text = listen.toString().trimmed();
    http.listenText = text;
    if (text.isEmpty()) {
        http.enabled = false;
        return;
    }
    QString host;
    QString port;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1String("]:"));
        host = text.mid(1, close - 1);
        port = close > 0 ? text.mid(close + 2) : QString();
    } else {
        const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
        host = colon > 0 ? text.left(colon) : QString();
        port = colon > 0 ? text.mid(colon + 1) : QString();
    }
    if (host == QLatin1String("localhost"))
        host = QStringLiteral("127.0.0.1");
    bool portOk = false;
    const uint portNumber = port.toUInt(&portOk);
    if (!http.address.setAddress(host) || !portOk || portNumber == 0 || portNumber > 0xFFFF) {
        http.listenError = QStringLiteral("[http] listen=%1 is not address:port (for example 127.0.0.1:%2 or [::1]:%2)")
                               .arg(text)
                               .arg(HttpSettings::DefaultPort);
        return;
    }
    http.port = quint16(portNumber);
}

// A file named in [http], absolute, a relative name taken from the folder of vk.cfg; empty when unset.
QString httpFile(QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    // QSettings splits an unquoted value with a comma into a list: such a name is taken as written.
    const QString name = (value.userType() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(','))
                                                                      : value.toString())
                             .trimmed();
    if (name.isEmpty())
        return QString();
    return QDir::cleanPath(QFileInfo(settings.fileName()).absoluteDir().absoluteFilePath(name));
}

TlsSettings tlsSettings(QSettings &settings)
{
    TlsSettings tls;
    tls.certificateFile = httpFile(settings, QStringLiteral("http/certificate"));
    tls.keyFile = httpFile(settings, QStringLiteral("http/key"));
    if (tls.certificateFile.isEmpty() != tls.keyFile.isEmpty())
        Log::warning(QStringLiteral("vk.cfg: http/%1 is set but http/%2 is not; TLS needs both")
                         .arg(tls.keyFile.isEmpty() ? QStringLiteral("certificate") : QStringLiteral("key"),
                              tls.keyFile.isEmpty() ? QStringLiteral("key") : QStringLiteral("certificate")));
    return tls;
}

MailSettings mailSettings(QSettings &settings)
{
    MailSettings mail;
    mail.retryFirstSeconds =
        wholeNumber(settings, QStringLiteral("mail/retryFirstSeconds"), mail.retryFirstSeconds, 1, 3600);
    mail.retryForSeconds =
        wholeNumber(settings, QStringLiteral("mail/retryForSeconds"), mail.retryForSeconds, 0, 24 * 3600);
    mail.sessionSeconds = wholeNumber(settings, QStringLiteral("mail/sessionSeconds"), mail.sessionSeconds, 1, 600);
    return mail;
}

InsightSection insightSection(QSettings &settings)
{
    InsightSection insight;
    insight.silentDays = wholeNumber(settings, QStringLiteral("insight/silentDays"), insight.silentDays, 1, 3650);
    settings.beginGroup(QStringLiteral("sites"));
    const QStringList names = settings.childKeys();
    for (const QString &name : names) {
        // QSettings splits a value at its commas: each part is a range of the same site.
        const QVariant value = settings.value(name);
        const QStringList ranges = value.typeId() == QMetaType::QStringList ? value.toStringList()
                                                                            : value.toString().split(QLatin1Char(','));
        for (const QString &range : ranges)
            insight.siteRanges.append({name, range});
    }
    settings.endGroup();
    return insight;
}

// Unlike the other sections, a [store] that names what cannot be used stops the start: guessing the
// database would split the fleet's reports between two stores.
StoreSettings storeSettings(QSettings &settings)
{
    StoreSettings store;
    const QString driver = settings.value(QStringLiteral("store/driver"), QStringLiteral("sqlite")).toString().trimmed();
    if (driver.compare(QLatin1String("postgresql"), Qt::CaseInsensitive) == 0) {
        store.driver = StoreSettings::Driver::Postgresql;
    } else if (driver.compare(QLatin1String("sqlite"), Qt::CaseInsensitive) != 0) {
        store.error = QStringLiteral("vk.cfg: store/driver=%1 is neither sqlite nor postgresql").arg(driver);
        return store;
    }
    if (store.driver == StoreSettings::Driver::Sqlite)
        return store;
    const auto text = [&settings](const char *key, const QString &fallback) {
        const QString value = settings.value(QStringLiteral("store/") + QLatin1String(key), fallback).toString().trimmed();
        return value.isEmpty() ? fallback : value;
    };
    store.host = text("host", store.host);
    store.database = text("database", store.database);
    store.user = text("user", store.user);
    store.sslmode = text("sslmode", store.sslmode);
    store.site = text("site", QSysInfo::machineHostName());
    static const QStringList sslModes = {QStringLiteral("disable"), QStringLiteral("allow"), QStringLiteral("prefer"),
                                         QStringLiteral("require"), QStringLiteral("verify-ca"),
                                         QStringLiteral("verify-full")};
    if (!sslModes.contains(store.sslmode))
        store.error = QStringLiteral("vk.cfg: store/sslmode=%1 is not one of %2").arg(store.sslmode, sslModes.join(QLatin1Char(' ')));
    bool portOk = false;
    const uint port = settings.value(QStringLiteral("store/port"), uint(store.port)).toUInt(&portOk);
    if (!portOk || port == 0 || port > 0xFFFF)
        store.error = QStringLiteral("vk.cfg: store/port=%1 is no port").arg(settings.value(QStringLiteral("store/port")).toString());
    else
        store.port = quint16(port);
    const QString password = text("passwordFile", QString());
    if (!password.isEmpty())
        store.passwordFile = QDir::cleanPath(QFileInfo(settings.fileName()).absoluteDir().absoluteFilePath(password));
    store.pollMs = wholeNumber(settings, QStringLiteral("store/pollMs"), store.pollMs, 100, 600000);
    store.plannerRetrySeconds =
        wholeNumber(settings, QStringLiteral("store/plannerRetrySeconds"), store.plannerRetrySeconds, 1, 60);
    store.leaseSeconds = wholeNumber(settings, QStringLiteral("store/leaseSeconds"), store.leaseSeconds, 3, 300);
    store.spoolLimit = wholeNumber(settings, QStringLiteral("store/spoolLimit"), store.spoolLimit, 1000, 100000000);
    return store;
}

} // namespace

ServerSettings ServerSettings::read(const QString &fileName)
{
    QSettings settings(fileName, QSettings::IniFormat);
    ServerSettings result;
    result.port = quint16(settings.value(QStringLiteral("port"), uint(result.port)).toUInt() & 0xFFFF);
    // In the order the server starts its parts, so that their warnings come in that order.
    result.connections = connectionLimits(settings);
    result.history = historySettings(settings);
    result.http.limits = httpLimits(settings);
    readListen(settings, result.http);
    result.http.tls = tlsSettings(settings);
    result.mail = mailSettings(settings);
    result.http.publicUrl = SettingsValues::webAddress(settings, QStringLiteral("http/publicUrl"));
    result.insight = insightSection(settings);
    QStringList typeProblems;
    result.types = TypeNames::read(settings, typeProblems);
    for (const QString &problem : typeProblems)
        Log::warning(QStringLiteral("vk.cfg: ") + problem);
    QStringList webhookProblems;
    result.webhooks = WebhookSettings::read(settings, webhookProblems);
    for (const QString &problem : webhookProblems)
        Log::warning(QStringLiteral("vk.cfg: ") + problem);
    result.store = storeSettings(settings);
    return result;
}

} // namespace NVL::Engineering::VK
