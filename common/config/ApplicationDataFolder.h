#pragma once

#include <QString>

namespace NVL::Engineering::VK {

// The folder of application data common to all users, followed by the process-wide organisation and
// application names (QCoreApplication). Creates it, with its parents, when it is missing.
// Empty when the common folder cannot be found.
QString applicationDataFolder();

// The common folder alone, without creating anything: "SHGetSpecialFolderPathW" where shell32
// provides it; elsewhere $NORVALE_COMMON_APPDATA when set and not empty, otherwise /var/lib.
QString commonApplicationDataFolder();

// Appends organisation and application to the common folder when both names are non-empty,
// with the platform's separator (a backslash is an ordinary file-name character outside Windows).
QString joinApplicationDataFolder(const QString &commonFolder, const QString &organisation,
                                  const QString &application);

} // namespace NVL::Engineering::VK
