#include "SilenceLedger.h"

#include "Log.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace NVL::Engineering::VK {

SilenceLedger::SilenceLedger(const QString &path)
    : m_path(path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject told = QJsonDocument::fromJson(file.readAll()).object();
    for (auto it = told.begin(); it != told.end(); ++it)
        m_told.insert(QByteArray::fromHex(it.key().toLatin1()), qint64(it.value().toDouble()));
}

QList<SilentBattery> SilenceLedger::untold(const QList<SilentBattery> &silent)
{
    QList<SilentBattery> untold;
    QHash<QByteArray, qint64> now;
    for (const SilentBattery &s : silent) {
        const QByteArray serial = s.record.serialKey();
        now.insert(serial, qint64(s.record.reportTime));
        if (m_told.value(serial, -1) != qint64(s.record.reportTime))
            untold.append(s);
    }
    const bool changed = now != m_told;
    m_told = std::move(now);
    if (changed)
        save();
    return untold;
}

void SilenceLedger::save() const
{
    QJsonObject told;
    for (auto it = m_told.cbegin(); it != m_told.cend(); ++it)
        told.insert(QString::fromLatin1(it.key().toHex().toUpper()), double(it.value()));
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(told).toJson(QJsonDocument::Compact)) < 0
        || !file.commit())
        Log::warning(QStringLiteral("%1 cannot be written (%2): silences already told may be told again after a restart")
                         .arg(QDir::toNativeSeparators(m_path), file.errorString()));
}

} // namespace NVL::Engineering::VK
