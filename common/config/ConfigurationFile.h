#pragma once

#include "ConfigurationData.h"

#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

namespace NVL::Engineering::VK {

// The one way both programs read and write the notification configuration file. Keeps no state but
// the file's path: every call reads or writes the file whole, so each read sees the file as it is now.
// Malformed JSON, wrong value types and missing keys reach the caller as the JSON library's
// exceptions (parse_error, type_error, out_of_range); no partial result is delivered.
class ConfigurationFile : public QObject
{
    Q_OBJECT

public:
    // The file at filePath().
    explicit ConfigurationFile(QObject *parent = nullptr);
    explicit ConfigurationFile(const QString &path, QObject *parent = nullptr);

    QString path() const { return m_path; }

    // Writes the default document first when the file does not exist.
    nlohmann::json readDocument() const;
    // Serialises before touching the file, so a document the serialiser refuses throws and leaves the
    // file as it was; false when the file cannot be written.
    bool writeDocument(const nlohmann::json &document) const;
    static nlohmann::json defaultConfiguration();

    SmtpSettingsData smtpSettings() const;
    RecipientList recipients() const;
    NotificationList notifications() const;

    // Read, replace one top-level member, write. Every other member, known or not, stays as read.
    bool setSmtpSettings(const SmtpSettingsData &settings) const;
    bool setRecipients(const RecipientList &recipients) const;
    bool setNotifications(const NotificationList &notifications) const;
    // Both in one write: a removed recipient leaves the notifications in the same replace.
    bool setRecipientsAndNotifications(const RecipientList &recipients, const NotificationList &notifications) const;

    // Where both programs find the file on this machine (DataPaths::current()).
    static QString filePath();

private:
    bool replaceMember(const char *key, nlohmann::json value) const;
    // The file's folder, with its parents, where it is missing; a failure shows when the file is used.
    // Made by root, each folder takes the owner of the one it is made in.
    void makeFolder() const;

    QString m_path;
};

} // namespace NVL::Engineering::VK
