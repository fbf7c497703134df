#include "ApplicationDataFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>

namespace NVL::Engineering::VK {

namespace {

#ifdef Q_OS_WIN
#define VK_SHELL_API __stdcall
#else
#define VK_SHELL_API
#endif

// BOOL SHGetSpecialFolderPathW(HWND, LPWSTR, int, BOOL); resolved at run time so that no import
// library is needed and other platforms can fall back.
using SpecialFolderPathFunction = int(VK_SHELL_API *)(void *, char16_t *, int, int);

constexpr int commonAppDataFolderId = 35; // CSIDL_COMMON_APPDATA
constexpr int pathBufferUnits = 260;      // MAX_PATH

} // namespace

QString commonApplicationDataFolder()
{
    const auto specialFolderPath = reinterpret_cast<SpecialFolderPathFunction>(
        QLibrary::resolve(QStringLiteral("shell32"), "SHGetSpecialFolderPathW"));
    if (specialFolderPath) {
        char16_t buffer[pathBufferUnits] = {};
        // The result flag is not trusted: a failed call leaves the buffer empty, meaning "not found".
        specialFolderPath(nullptr, buffer, commonAppDataFolderId, 0);
        buffer[pathBufferUnits - 1] = u'\0';
        return QString::fromUtf16(buffer);
    }
#ifdef Q_OS_WIN
    return QString();
#else
    const QString configured = qEnvironmentVariable("NORVALE_COMMON_APPDATA");
    return configured.isEmpty() ? QStringLiteral("/var/lib") : configured;
#endif
}

QString joinApplicationDataFolder(const QString &commonFolder, const QString &organisation,
                                  const QString &application)
{
    if (organisation.isEmpty() || application.isEmpty())
        return commonFolder;
#ifdef Q_OS_WIN
    return QStringLiteral("%1\\%2\\%3").arg(commonFolder, organisation, application);
#else
    return QStringLiteral("%1/%2/%3").arg(commonFolder, organisation, application);
#endif
}

QString applicationDataFolder()
{
    const QString result = joinApplicationDataFolder(commonApplicationDataFolder(),
                                                     QCoreApplication::organizationName(),
                                                     QCoreApplication::applicationName());
    if (!result.isEmpty() && !QDir(result).exists())
        QDir().mkpath(result); // a failure shows up when the caller uses the folder
    return result;
}

} // namespace NVL::Engineering::VK
