#pragma once

#include <QString>

class QSettings;

namespace NVL::Engineering::VK {

// Values of vk.cfg as the server reads them: a value that is not what the key takes is named in a
// Warning and the default is used, so a typo never stops the server.
namespace SettingsValues {

int wholeNumber(QSettings &settings, const QString &key, int fallback, int low, int high);
bool onOff(QSettings &settings, const QString &key, bool fallback);
// An http or https address without a trailing slash; empty when unset or not such an address.
QString webAddress(QSettings &settings, const QString &key);

} // namespace SettingsValues

} // namespace NVL::Engineering::VK
