#include "StandInManager.h"

#include "StandInFiles.h"
#include "StandInLock.h"

#include <QFile>
#include <QJsonDocument>
#include <QLibrary>
#include <QUrl>

StandInManager::StandInManager()
    : m_previous(qgetenv(VK_STANDIN_DIR_VARIABLE))
{
    qputenv(VK_STANDIN_DIR_VARIABLE, QFile::encodeName(m_folder.path()));
}

StandInManager::~StandInManager()
{
    if (m_previous.isEmpty())
        qunsetenv(VK_STANDIN_DIR_VARIABLE);
    else
        qputenv(VK_STANDIN_DIR_VARIABLE, m_previous);
}

QJsonObject StandInManager::registry() const
{
    const StandInLock lock(m_folder.path());
    QFile file(m_folder.filePath(QStringLiteral(VK_STANDIN_REGISTRY_FILE)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

void StandInManager::setRegistry(const QJsonObject &root)
{
    const StandInLock lock(m_folder.path());
    QFile file(m_folder.filePath(QStringLiteral(VK_STANDIN_REGISTRY_FILE)));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QJsonDocument(root).toJson());
}

QJsonObject StandInManager::service(const QString &name) const
{
    return registry().value(QStringLiteral("services")).toObject().value(name).toObject();
}

void StandInManager::addService(const QString &name, int state, const QJsonObject &settings)
{
    QJsonObject root = registry();
    QJsonObject services = root.value(QStringLiteral("services")).toObject();
    QJsonObject entry{{QStringLiteral("displayName"), name}, {QStringLiteral("type"), 0x110},
                      {QStringLiteral("start"), 3},         {QStringLiteral("errorControl"), 1},
                      {QStringLiteral("path"), QStringLiteral("/nonexistent/program")},
                      {QStringLiteral("state"), state},      {QStringLiteral("controls"), state == 1 ? 0 : 1},
                      {QStringLiteral("exitCode"), 0},       {QStringLiteral("spawn"), false}};
    for (auto it = settings.begin(); it != settings.end(); ++it)
        entry.insert(it.key(), it.value());
    services.insert(name, entry);
    root.insert(QStringLiteral("services"), services);
    setRegistry(root);
}

QList<QStringList> StandInManager::journal(const QString &kind) const
{
    QList<QStringList> lines;
    QFile file(m_folder.filePath(QStringLiteral(VK_STANDIN_JOURNAL_FILE)));
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QStringList fields = QString::fromUtf8(line).split(QLatin1Char('\t'));
        if (kind.isEmpty() || fields.value(0) == kind)
            lines.append(fields);
    }
    return lines;
}

QList<quint32> StandInManager::publishedStates() const
{
    QList<quint32> states;
    for (const QStringList &fields : journal(QStringLiteral("status")))
        states.append(fields.value(3).toUInt());
    return states;
}

QStringList StandInManager::eventMessages() const
{
    QStringList messages;
    for (const QStringList &fields : journal(QStringLiteral("event")))
        messages.append(QString::fromUtf8(QByteArray::fromPercentEncoding(fields.value(8).toLatin1())));
    return messages;
}

QByteArray StandInManager::serviceOutput(const QString &name) const
{
    QFile file(m_folder.filePath(name + QStringLiteral(VK_STANDIN_OUTPUT_SUFFIX)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint32 StandInManager::deliverControl(const QString &name, quint32 code)
{
    using Deliver = quint32 (*)(const char16_t *, quint32);
    const auto deliver = reinterpret_cast<Deliver>(QLibrary::resolve(QStringLiteral("advapi32"), "VkStandInDeliverControl"));
    if (!deliver)
        return 0xFFFFFFFFu;
    return deliver(reinterpret_cast<const char16_t *>(name.utf16()), code);
}

quint32 StandInManager::openHandleCount()
{
    using Count = quint32 (*)();
    const auto count = reinterpret_cast<Count>(QLibrary::resolve(QStringLiteral("advapi32"), "VkStandInOpenHandleCount"));
    return count ? count() : 0xFFFFFFFFu;
}

QList<quint32> withoutRepeats(const QList<quint32> &values)
{
    QList<quint32> result;
    for (quint32 value : values)
        if (result.isEmpty() || result.last() != value)
            result.append(value);
    return result;
}
