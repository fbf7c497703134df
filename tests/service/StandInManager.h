#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The tests' side of the stand-in service manager: a fresh folder for its registry and journal
// (made the process's VK_STANDIN_DIR while this object lives), and readers of what it recorded.
class StandInManager
{
public:
    StandInManager();
    ~StandInManager();

    StandInManager(const StandInManager &) = delete;
    StandInManager &operator=(const StandInManager &) = delete;

    bool isValid() const { return m_folder.isValid(); }
    QString folder() const { return m_folder.path(); }

    QJsonObject registry() const;
    void setRegistry(const QJsonObject &root);
    QJsonObject service(const QString &name) const;
    // Registers a service that no process plays, in the given state, with extra settings.
    void addService(const QString &name, int state, const QJsonObject &settings = {});

    // Every journal line split into its fields; only those of the given kind if one is given.
    QList<QStringList> journal(const QString &kind = QString()) const;
    // The published states (field 3 of "status" lines) and the full records.
    QList<quint32> publishedStates() const;
    // The messages of "event" lines, decoded.
    QStringList eventMessages() const;
    // What a started service program printed.
    QByteArray serviceOutput(const QString &name) const;

    // The stand-in's test exports, resolved from the library the process loaded.
    static quint32 deliverControl(const QString &name, quint32 code);
    static quint32 openHandleCount();

private:
    QTemporaryDir m_folder;
    QByteArray m_previous;
};

// Consecutive repeats removed.
QList<quint32> withoutRepeats(const QList<quint32> &values);
