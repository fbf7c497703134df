#pragma once

#include <QString>

class QSettings;

namespace NVL::Engineering::VK {

// Values of vk.cfg as the server reads them: a value that is not what the key takes is named in a
// Warning and the default is used, so a typo never stops the server.
namespace SettingsValues {

int wholeNumber(QSettings &settings, const QString &key, int fallback, int low, int high);
bool onOff(QSettings &settings, const QString &key, bool fallback);

} // namespace SettingsValues

} // namespace NVL::Engineering::VK
