#pragma once

#include <QString>
#include <QtGlobal>

namespace NVL::Engineering::VK {

// The editor's version: shown in the window title and the About box, stamped on the executable.
// The numbers come from the build (editor/CMakeLists.txt), so that all three agree.
struct ApplicationVersion
{
    quint16 majorNumber;
    quint16 minorNumber;
    quint16 patchNumber;
    quint16 buildNumber;

    QString text() const
    {
        return QStringLiteral("%1.%2.%3.%4").arg(majorNumber).arg(minorNumber).arg(patchNumber).arg(buildNumber);
    }
};

inline constexpr ApplicationVersion applicationVersion{BELLWRIGHT_VERSION_MAJOR, BELLWRIGHT_VERSION_MINOR,
                                                       BELLWRIGHT_VERSION_PATCH, BELLWRIGHT_VERSION_BUILD};

} // namespace NVL::Engineering::VK
