#include "InsightSettings.h"

#include "Log.h"
#include "SettingsValues.h"

#include <QSettings>

namespace NVL::Engineering::VK {

InsightSettings InsightSettings::read(QSettings &settings)
{
    InsightSettings result;
    result.silentDays = SettingsValues::wholeNumber(settings, QStringLiteral("insight/silentDays"), result.silentDays,
                                                    1, 3650);
    settings.beginGroup(QStringLiteral("sites"));
    const QStringList names = settings.childKeys();
    for (const QString &name : names) {
        // QSettings splits a value at its commas: each part is a range of the same site.
        const QVariant value = settings.value(name);
        const QStringList ranges = value.typeId() == QMetaType::QStringList ? value.toStringList()
                                                                            : value.toString().split(QLatin1Char(','));
        for (const QString &range : ranges) {
            QString problem;
            if (!result.sites.add(name, range, &problem))
                Log::warning(QStringLiteral("vk.cfg: [sites] %1: %2; the range is left out").arg(name, problem));
        }
    }
    settings.endGroup();
    return result;
}

} // namespace NVL::Engineering::VK
