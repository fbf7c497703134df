#pragma once

#include <QString>

namespace NVL::Engineering::VK {

// Where both programs keep their files, under the machine's folder of application data common to all
// users: the server's own folder and the configuration file that server and editor share. Computed
// once at start and handed to whoever needs a path; nothing here reads or sets process-wide names.
struct DataPaths
{
    QString serverFolder;      // <common>/Norvale/Voltkeep
    QString configurationFile; // <common>/Norvale/Cellwarden/Bellwright.JSON

    QString databaseFile() const { return serverFolder + QStringLiteral("/vk.db"); }
    QString settingsFile() const { return serverFolder + QStringLiteral("/vk.cfg"); }
    QString historyFile() const { return serverFolder + QStringLiteral("/vk-history.db"); }

    // From commonApplicationDataFolder(), as the machine names it now.
    static DataPaths current();
    static DataPaths underCommonFolder(const QString &commonFolder);
};

} // namespace NVL::Engineering::VK
