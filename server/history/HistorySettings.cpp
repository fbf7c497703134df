#include "HistorySettings.h"

#include "ServiceBase.h"

#include <QSettings>

namespace NVL::Engineering::VK {

namespace {

int wholeNumber(QSettings &settings, const QString &key, int fallback, int low, int high)
{
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return fallback;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    if (ok && number >= low && number <= high)
        return number;
    ServiceBase::logEvent(QStringLiteral("vk.cfg: %1=%2 is not a whole number from %3 to %4; %5 is used")
                              .arg(key, value.toString())
                              .arg(low)
                              .arg(high)
                              .arg(fallback),
                          LogType::Warning);
    return fallback;
}

} // namespace

HistorySettings HistorySettings::read(QSettings &settings)
{
    HistorySettings result;
    const QVariant enabled = settings.value(QStringLiteral("history/enabled"));
    if (enabled.isValid()) {
        const QString text = enabled.toString().trimmed().toLower();
        if (text == QLatin1String("false") || text == QLatin1String("0") || text == QLatin1String("no")
            || text == QLatin1String("off"))
            result.enabled = false;
        else if (text != QLatin1String("true") && text != QLatin1String("1") && text != QLatin1String("yes")
                 && text != QLatin1String("on"))
            ServiceBase::logEvent(QStringLiteral("vk.cfg: history/enabled=%1 is neither true nor false; history stays on")
                                      .arg(enabled.toString()),
                                  LogType::Warning);
    }
    result.years = wholeNumber(settings, QStringLiteral("history/years"), result.years, 1, 100);
    result.boundary = wholeNumber(settings, QStringLiteral("history/boundary"), result.boundary, 1, 100);
    return result;
}

} // namespace NVL::Engineering::VK
