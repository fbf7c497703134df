#include "AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace NVL::Engineering::VK::AtomicFile {

namespace {

// Owner read and write for a new file. Private: a file being replaced keeps its mode if that lets
// nobody but its group read it (at most 0640), so an administrator's choice survives; anything more
// open falls back to owner only.
QFileDevice::Permissions permissionsFor(const QString &path, Mode keep)
{
    const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (!QFileInfo::exists(path))
        return ownerOnly;
    // The "User" flags describe the calling user's own access, not the file's mode.
    const QFileDevice::Permissions userFlags = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
    const QFileDevice::Permissions mode = QFile::permissions(path) & ~userFlags;
    const QFileDevice::Permissions allowed = ownerOnly | QFileDevice::ReadGroup;
    if (keep == Mode::Private && (mode & ~allowed))
        return ownerOnly;
    return mode;
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

QByteArray readRegular(const QString &path)
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

void makeFolderOf(const QString &path)
{
    const QString folder = QFileInfo(path).absolutePath();
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

bool replace(const QString &path, const QByteArray &bytes, Mode mode)
{
    makeFolderOf(path);
    const QFileDevice::Permissions permissions = permissionsFor(path, mode);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Before any byte is written: the JSON file holds the SMTP password, vk.cfg the API's token.
    if (!file.setPermissions(permissions)) {
        file.cancelWriting();
        return false;
    }
#ifdef Q_OS_UNIX
    takeOwnerOf(int(file.handle()), QFileInfo::exists(path) ? path : QFileInfo(path).absolutePath());
#endif
    // The explicit flush matters: on a full disk (or past a file-size limit) QSaveFile's buffered
    // bytes fail to reach the file, yet commit() in Qt 6.4 still renames the truncated file into place.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace NVL::Engineering::VK::AtomicFile
