#pragma once

#include "BatteryDatabase.h"
#include "BatteryStore.h"

namespace NVL::Engineering::VK {

// vk.db behind the store seam, exactly as the server has always kept it.
class SqliteBatteryStore : public BatteryStore
{
public:
    explicit SqliteBatteryStore(const QString &path) : m_database(path) {}

    bool open(QString &errorText) override;
    bool isOpen() const override { return m_database.isOpen(); }
    void saveReports(const QList<BatteryRecord> &records, const QList<QByteArray> &senders,
                     SaveOutcome &outcome) override;
    void forEachValidReport(const std::function<void(const BatteryRecord &)> &visit) override
    {
        m_database.forEachValidReport(visit);
    }
    QList<BatteryRecord> validReports() override { return m_database.validReports(); }
    void deleteReport(const QByteArray &serial) override { m_database.deleteReport(serial); }
    void close() override { m_database.close(); }
    int salvages() const override { return m_database.salvages(); }

private:
    BatteryDatabase m_database;
};

} // namespace NVL::Engineering::VK
