#pragma once

#include <QString>

namespace NVL::Engineering::VK::Bench {

// Writes valid rows straight into the server's database file while the server is stopped:
// one transaction for all of them, far faster than one synced commit per report.
class StoreFiller
{
public:
    struct Result
    {
        bool ok = false;
        qint64 rowsBefore = 0;
        qint64 rowsAfter = 0;
        qint64 nanoseconds = 0;
        QString error;
    };

    enum class Mode { Add, Replace }; // Replace: the rows already there go in the same transaction

    static Result fill(const QString &databasePath, char tag, quint32 firstIndex, quint32 count, Mode mode = Mode::Add);
};

} // namespace NVL::Engineering::VK::Bench
