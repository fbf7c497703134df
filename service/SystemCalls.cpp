#include "SystemCalls.h"

#include "WindowsServiceTypes.h"

#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QThread>

#include <cerrno>

namespace NVL::Engineering::VK::SystemCalls {

namespace {

struct Kernel
{
    Win::GetModuleFileNameW getModuleFileName = nullptr;
    Win::GetLastError getLastError = nullptr;
    Win::FormatMessageW formatMessage = nullptr;
    Win::Sleep sleep = nullptr;
};

const Kernel &kernel()
{
    static const Kernel resolved = [] {
        Kernel k;
#ifdef Q_OS_WIN
        static QLibrary library(QStringLiteral("kernel32"));
        k.getModuleFileName = reinterpret_cast<Win::GetModuleFileNameW>(library.resolve("GetModuleFileNameW"));
        k.getLastError = reinterpret_cast<Win::GetLastError>(library.resolve("GetLastError"));
        k.formatMessage = reinterpret_cast<Win::FormatMessageW>(library.resolve("FormatMessageW"));
        k.sleep = reinterpret_cast<Win::Sleep>(library.resolve("Sleep"));
#endif
        return k;
    }();
    return resolved;
}

constexpr Win::Dword modulePathUnits = 520;
constexpr Win::Dword formatMessageFromSystem = 0x00001000;
constexpr Win::Dword formatMessageIgnoreInserts = 0x00000200;

} // namespace

QString programFilePath()
{
    if (kernel().getModuleFileName) {
        Win::WChar buffer[modulePathUnits] = {};
        const Win::Dword length = kernel().getModuleFileName(nullptr, buffer, modulePathUnits);
        return QString::fromUtf16(buffer, qsizetype(qMin(length, modulePathUnits)));
    }
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

std::uint32_t lastError()
{
    if (kernel().getLastError)
        return kernel().getLastError();
    return std::uint32_t(errno);
}

QString errorText(std::uint32_t code)
{
    if (kernel().formatMessage) {
        Win::WChar buffer[512] = {};
        const Win::Dword length = kernel().formatMessage(formatMessageFromSystem | formatMessageIgnoreInserts, nullptr,
                                                         code, 0, buffer, 512, nullptr);
        return QString::fromUtf16(buffer, qsizetype(qMin<Win::Dword>(length, 511))).trimmed();
    }
    return qt_error_string(int(code));
}

void sleepMilliseconds(std::uint32_t milliseconds)
{
    if (kernel().sleep)
        kernel().sleep(milliseconds);
    else
        QThread::msleep(milliseconds);
}

} // namespace NVL::Engineering::VK::SystemCalls
