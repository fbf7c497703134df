#include "DataPaths.h"

#include "ApplicationDataFolder.h"

namespace NVL::Engineering::VK {

namespace {

const QString organisation = QStringLiteral("Norvale");

} // namespace

DataPaths DataPaths::current()
{
    return underCommonFolder(commonApplicationDataFolder());
}

DataPaths DataPaths::underCommonFolder(const QString &commonFolder)
{
    DataPaths paths;
    paths.serverFolder = joinApplicationDataFolder(commonFolder, organisation, QStringLiteral("Voltkeep"));
    paths.configurationFile = joinApplicationDataFolder(commonFolder, organisation, QStringLiteral("Cellwarden"))
                              + QStringLiteral("/Bellwright.JSON");
    return paths;
}

} // namespace NVL::Engineering::VK
