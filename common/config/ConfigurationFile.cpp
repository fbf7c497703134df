#include "ConfigurationFile.h"

#include "ApplicationDataFolder.h"
#include "JsonFields.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <string>

namespace {

// Owner read and write for a new file. A file being replaced keeps its mode if that lets
// nobody but its group read it (at most 0640), so an administrator's choice survives;
// anything more open falls back to owner only.
QFileDevice::Permissions permissionsFor(const QString &path)
{
    const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (!QFileInfo::exists(path))
        return ownerOnly;
    // The "User" flags describe the calling user's own access, not the file's mode.
    const QFileDevice::Permissions userFlags = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
    const QFileDevice::Permissions mode = QFile::permissions(path) & ~userFlags;
    const QFileDevice::Permissions allowed = ownerOnly | QFileDevice::ReadGroup;
    if (mode & ~allowed)
        return ownerOnly;
    return mode;
}

} // namespace

ConfigurationFile::ConfigurationFile(QObject *parent)
    : QObject(parent)
{
}

QString ConfigurationFile::filePath()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Norvale"));
    QCoreApplication::setApplicationName(QStringLiteral("Cellwarden"));
    return applicationDataFolder() + QStringLiteral("/Bellwright.JSON");
}

nlohmann::json ConfigurationFile::readDocument() const
{
    const QString path = filePath();
    if (!QFile::exists(path))
        writeDocument(defaultConfiguration()); // if this fails, the read below reports it

    QFile file(path);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll(); // an unreadable file stays empty, which the parser refuses
    file.close();

    return nlohmann::json::parse(bytes.cbegin(), bytes.cend(), nullptr, true, false);
}

bool ConfigurationFile::writeDocument(const nlohmann::json &document) const
{
    // Serialising first: a refused document (invalid UTF-8, type_error 316) must not cost the old file.
    const std::string text = document.dump(3, ' ', false, nlohmann::json::error_handler_t::strict);

    // Replaced by rename, so a crash or a full disk halfway leaves the previous file intact and a
    // reader never finds the file missing or half written.
    const QString path = filePath();
    const QFileDevice::Permissions permissions = permissionsFor(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Before any byte is written: the file holds the SMTP password.
    if (!file.setPermissions(permissions)) {
        file.cancelWriting();
        return false;
    }
    const auto size = static_cast<qint64>(text.size());
    if (file.write(text.data(), size) != size) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

nlohmann::json ConfigurationFile::defaultConfiguration()
{
    ConfigurationData configuration;
    configuration.version = 1;
    configuration.magic = "NVLCELBW";
    configuration.smtpSettings = SmtpSettingsData{};
    return configuration;
}

SmtpSettingsData ConfigurationFile::smtpSettings() const
{
    return readDocument().at("smtpSettings").get<SmtpSettingsData>();
}

RecipientList ConfigurationFile::recipients() const
{
    return jsonToList<RecipientData>(readDocument().at("recipients"));
}

NotificationList ConfigurationFile::notifications() const
{
    return jsonToList<NotificationData>(readDocument().at("notifications"));
}

bool ConfigurationFile::setSmtpSettings(const SmtpSettingsData &settings) const
{
    return replaceMember("smtpSettings", settings);
}

bool ConfigurationFile::setRecipients(const RecipientList &recipients) const
{
    return replaceMember("recipients", recipients);
}

bool ConfigurationFile::setNotifications(const NotificationList &notifications) const
{
    return replaceMember("notifications", notifications);
}

bool ConfigurationFile::replaceMember(const char *key, nlohmann::json value) const
{
    nlohmann::json document = readDocument();
    document[key] = std::move(value);
    return writeDocument(document);
}
