#include "SqliteBatteryStore.h"

namespace NVL::Engineering::VK {

bool SqliteBatteryStore::open(QString &errorText)
{
    if (!m_database.openWithRecovery()) {
        errorText = QStringLiteral("Failed to open database");
        return false;
    }
    return m_database.checkVersion(errorText);
}

void SqliteBatteryStore::saveReports(const QList<BatteryRecord> &records, const QList<QByteArray> &,
                                     SaveOutcome &outcome)
{
    BatteryDatabase::SaveOutcome saved;
    m_database.saveReports(records, &saved, BatteryDatabase::Lookup::None);
    outcome.stored = saved.stored;
    outcome.notStored = saved.notStored;
    outcome.diskFull = saved.diskFull;
    outcome.failure = saved.failure;
}

} // namespace NVL::Engineering::VK
