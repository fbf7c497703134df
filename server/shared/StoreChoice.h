#pragma once

#include "BatteryStore.h"
#include "PostgresTarget.h"
#include "StoreSettings.h"

#include <DataPaths.h>

#include <memory>

namespace NVL::Engineering::VK {

class PostgresBatteryStore;

// The battery store [store] names: vk.db, or the shared PostgreSQL database with its outage spool in
// the data folder.
namespace StoreChoice {

PostgresTarget postgresTarget(const StoreSettings &settings);
// keepHistory: [history] is on, and the shared database keeps every stored report's point too.
std::unique_ptr<BatteryStore> make(const StoreSettings &settings, bool keepHistory, const DataPaths &paths);
std::unique_ptr<PostgresBatteryStore> makeShared(const StoreSettings &settings, bool keepHistory, const DataPaths &paths);
// `Voltkeep --migrate-to-postgresql`: copies vk.db and vk-history.db into the empty database [store]
// names and compares the counts; the exit status of the program.
int migrateToPostgresql(const DataPaths &paths);

} // namespace StoreChoice

} // namespace NVL::Engineering::VK
