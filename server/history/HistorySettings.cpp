#include "HistorySettings.h"

#include "SettingsValues.h"

namespace NVL::Engineering::VK {

HistorySettings HistorySettings::read(QSettings &settings)
{
    HistorySettings result;
    result.enabled = SettingsValues::onOff(settings, QStringLiteral("history/enabled"), result.enabled);
    result.years = SettingsValues::wholeNumber(settings, QStringLiteral("history/years"), result.years, 1, 100);
    result.boundary = SettingsValues::wholeNumber(settings, QStringLiteral("history/boundary"), result.boundary, 1, 100);
    return result;
}

} // namespace NVL::Engineering::VK
