#pragma once

#include "ToolError.h"

#include <ConfigurationData.h>

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <QTimeZone>

#include <functional>
#include <memory>

namespace NVL::Engineering::VK {

class ConfigurationFile;
class SingleInstanceLock;

// vkconfig: the configuration file that Bellwright edits, from a shell. Reads and writes through the
// same ConfigurationFile and refuses what FieldRules refuses, so both programs leave the file alike;
// every change holds Bellwright's lock. The type names in the server's vk.cfg too, with the rules the
// server reads them by. Results go to `out`; a failure is one line on `err` and a non-zero ExitCode.
class ConfigTool
{
public:
    ConfigTool(const QString &configurationFile, const QString &serverSettingsFile, QTextStream &out, QTextStream &err);
    ~ConfigTool();

    // The words after the program's name; returns the exit status.
    int run(const QStringList &arguments);

private:
    void dispatch(const QStringList &words);
    void printHelp(const QStringList &words);

    void show(const QStringList &words);
    void smtp(const QStringList &words);
    void testMail(const QStringList &words);
    using Command = void (ConfigTool::*)(const QStringList &words);
    // `<noun> <verb> ...`: add|remove|list for recipients and notifications, set|remove|list for types, add|remove|list|test for webhooks.
    void collection(const QString &noun, const QStringList &words, const QList<QPair<QString, Command>> &verbs);

    void addRecipient(const QStringList &words);
    void removeRecipient(const QStringList &words);
    void listRecipients(const QStringList &words);
    void addNotification(const QStringList &words);
    void removeNotification(const QStringList &words);
    void listNotifications(const QStringList &words);
    void setType(const QStringList &words);
    void removeType(const QStringList &words);
    void listTypes(const QStringList &words);
    void addWebhook(const QStringList &words);
    void removeWebhook(const QStringList &words);
    void listWebhooks(const QStringList &words);
    void testWebhook(const QStringList &words);

    // Sections of `show`, also printed by the list commands.
    void printSmtp(const SmtpSettingsData &settings);
    void printRecipients(const RecipientList &recipients);
    void printNotifications(const NotificationList &notifications, const RecipientList &recipients);

    // Reading throws Unreadable with the file and the parser's message; writing throws Unwritable.
    void read(const std::function<void(const ConfigurationFile &)> &section) const;
    void write(const std::function<bool(const ConfigurationFile &)> &change) const;
    // Taken before a change is read, held until the program ends; throws Locked.
    void lockForChange();
    // vk.cfg's bytes, empty where there is no file; throws Unreadable. Writing throws Unwritable.
    QByteArray readServerSettings() const;
    void writeServerSettings(const QByteArray &bytes) const;

    QString m_path;
    QString m_serverSettingsPath;
    QTextStream &m_out;
    QTextStream &m_err;
    std::unique_ptr<SingleInstanceLock> m_lock;
    QDateTime m_now = QDateTime::currentDateTime();
    QTimeZone m_zone = QTimeZone::systemTimeZone();
};

} // namespace NVL::Engineering::VK
