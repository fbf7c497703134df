#include "ConfigurationFile.h"

#include "DataPaths.h"
#include "JsonFields.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <string>
#include <utility>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace NVL::Engineering::VK {

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


// The bytes of a regular file; empty for anything else. A FIFO or a device would block the
// caller until somebody else writes to it, so the kind is checked on the opened file itself.
QByteArray readRegularFile(const QString &path)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QByteArray();
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return QByteArray();
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return QByteArray();
    }
    return file.readAll();
#else
    if (!QFileInfo(path).isFile())
        return QByteArray();
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
#endif
}

#ifdef Q_OS_UNIX
// Root writes on behalf of the service's user (sudo vkconfig, Bellwright as root): a file or folder it
// made with its own owner would lock the service out of its configuration. So what root creates takes
// the owner of the folder it is created in, and a replaced file keeps the owner it had.
void takeOwnerOf(int descriptor, const QString &model)
{
    struct stat status;
    if (::geteuid() != 0 || ::stat(QFile::encodeName(model).constData(), &status) != 0)
        return;
    if (::fchown(descriptor, status.st_uid, status.st_gid) != 0) {
        // Written all the same, owned by root as it always was before this rule.
    }
}

void takeOwnerOf(const QString &path, const QString &model)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return;
    takeOwnerOf(descriptor, model);
    ::close(descriptor);
}
#endif

} // namespace

ConfigurationFile::ConfigurationFile(QObject *parent)
    : ConfigurationFile(filePath(), parent)
{
}

ConfigurationFile::ConfigurationFile(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
{
}

QString ConfigurationFile::filePath()
{
    return DataPaths::current().configurationFile;
}

void ConfigurationFile::makeFolder() const
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (QDir(folder).exists())
        return;
#ifdef Q_OS_UNIX
    // One level at a time, each taking the owner of the folder it is made in.
    QStringList missing;
    for (QString f = folder; !QFileInfo::exists(f) && f != QFileInfo(f).path(); f = QFileInfo(f).path())
        missing.prepend(f);
    for (const QString &f : std::as_const(missing)) {
        if (!QDir().mkdir(f))
            return;
        takeOwnerOf(f, QFileInfo(f).path());
    }
#else
    QDir().mkpath(folder);
#endif
}

nlohmann::json ConfigurationFile::readDocument() const
{
    makeFolder();
    const QString &path = m_path;
    // Only where nothing at all is: a dangling or looping link, or anything else in the way, is
    // somebody's and reads as unreadable instead of being replaced.
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        writeDocument(defaultConfiguration()); // if this fails, the read below reports it

    const QByteArray bytes = readRegularFile(path); // anything else stays empty, which the parser refuses
    return nlohmann::json::parse(bytes.cbegin(), bytes.cend(), nullptr, true, false);
}

bool ConfigurationFile::writeDocument(const nlohmann::json &document) const
{
    // Serialising first: a refused document (invalid UTF-8, type_error 316) must not cost the old file.
    const std::string text = document.dump(3, ' ', false, nlohmann::json::error_handler_t::strict);

    // Replaced by rename, so a crash or a full disk halfway leaves the previous file intact and a
    // reader never finds the file missing or half written.
    makeFolder();
    const QString &path = m_path;
    const QFileDevice::Permissions permissions = permissionsFor(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Before any byte is written: the file holds the SMTP password.
    if (!file.setPermissions(permissions)) {
        file.cancelWriting();
        return false;
    }
#ifdef Q_OS_UNIX
    takeOwnerOf(int(file.handle()), QFileInfo::exists(path) ? path : QFileInfo(path).absolutePath());
#endif
    const auto size = static_cast<qint64>(text.size());
    // The explicit flush matters: on a full disk (or past a file-size limit) QSaveFile's buffered
    // bytes fail to reach the file, yet commit() in Qt 6.4 still renames the truncated file into place.
    if (file.write(text.data(), size) != size || !file.flush()) {
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

bool ConfigurationFile::setRecipientsAndNotifications(const RecipientList &recipients,
                                                      const NotificationList &notifications) const
{
    nlohmann::json document = readDocument();
    document["recipients"] = recipients;
    document["notifications"] = notifications;
    return writeDocument(document);
}

bool ConfigurationFile::replaceMember(const char *key, nlohmann::json value) const
{
    nlohmann::json document = readDocument();
    document[key] = std::move(value);
    return writeDocument(document);
}

} // namespace NVL::Engineering::VK
