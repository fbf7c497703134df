#include "FleetHome.h"

#include "LocalFleetHome.h"
#include "ServerSettings.h"
#include "SharedFleetHome.h"
#include "StoreChoice.h"

#include <DataPaths.h>

namespace NVL::Engineering::VK {

FleetHome::~FleetHome() = default;

std::unique_ptr<FleetHome> FleetHome::make(const ServerSettings &settings, const DataPaths &paths)
{
    if (settings.store.driver == StoreSettings::Driver::Sqlite)
        return std::make_unique<LocalFleetHome>(StoreChoice::make(settings.store, settings.history.enabled, paths),
                                                paths.serverFolder + QStringLiteral("/vk-silences.json"));
    return std::make_unique<SharedFleetHome>(StoreChoice::makeShared(settings.store, settings.history.enabled, paths),
                                             settings.store);
}

LocalFleetHome::LocalFleetHome(std::unique_ptr<BatteryStore> store, const QString &silencesFile)
    : m_store(std::move(store))
    , m_silences(silencesFile)
{
}

} // namespace NVL::Engineering::VK
