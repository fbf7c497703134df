#pragma once

#include "SilentBattery.h"

#include <QHash>
#include <QString>

namespace NVL::Engineering::VK {

// Which silences have been told, so that "battery silent" mails once per battery per silence, across
// restarts: a small JSON file of each told battery's serial key and the time of the report its silence
// began after. A battery that reports again leaves it; its next silence is told again.
class SilenceLedger
{
public:
    explicit SilenceLedger(const QString &path);

    // Those of the silent batteries not told yet, now counted as told; the file is written when it changed.
    QList<SilentBattery> untold(const QList<SilentBattery> &silent);

private:
    void save() const;

    QString m_path;
    QHash<QByteArray, qint64> m_told; // serial key -> report time the silence began after
};

} // namespace NVL::Engineering::VK
