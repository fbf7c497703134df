#include "SettingsValues.h"

#include "Log.h"

#include <QSettings>
#include <QUrl>

namespace NVL::Engineering::VK::SettingsValues {

int wholeNumber(QSettings &settings, const QString &key, int fallback, int low, int high)
{
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return fallback;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    if (ok && number >= low && number <= high)
        return number;
    Log::warning(QStringLiteral("vk.cfg: %1=%2 is not a whole number from %3 to %4; %5 is used")
                     .arg(key, value.toString())
                     .arg(low)
                     .arg(high)
                     .arg(fallback));
    return fallback;
}

bool onOff(QSettings &settings, const QString &key, bool fallback)
{
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return fallback;
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("false") || text == QLatin1String("0") || text == QLatin1String("no")
        || text == QLatin1String("off"))
        return false;
    if (text == QLatin1String("true") || text == QLatin1String("1") || text == QLatin1String("yes")
        || text == QLatin1String("on"))
        return true;
    Log::warning(QStringLiteral("vk.cfg: %1=%2 is neither true nor false; %3 is used")
                     .arg(key, value.toString(), fallback ? QStringLiteral("true") : QStringLiteral("false")));
    return fallback;
}

QString webAddress(QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    QString text = value.toString().trimmed();
    if (text.isEmpty())
        return QString();
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    const QUrl url(text, QUrl::StrictMode);
    if (url.isValid() && !url.host().isEmpty() && url.query().isEmpty() && url.fragment().isEmpty()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")))
        return text;
    Log::write(QStringLiteral("vk.cfg: %1=%2 is no http:// or https:// address; mails link nowhere")
                              .arg(key, value.toString()),
                          LogType::Warning);
    return QString();
}

} // namespace NVL::Engineering::VK::SettingsValues
