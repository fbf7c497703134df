#pragma once

#include "ToolError.h"

#include <QByteArray>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>

namespace NVL::Engineering::VK {

// Said after every change to vk.cfg.
inline constexpr char restartNote[] = "The server reads vk.cfg at start: restart it to apply this (systemctl restart voltkeep).\n";

// A section of vk.cfg as the server reads it at start (Section::read), with the warnings it gives.
template <typename Section>
Section serverView(const QString &path, QStringList &problems)
{
    QSettings settings(path, QSettings::IniFormat);
    return Section::read(settings, problems);
}

// The same, of the bytes a change would write, before they are written.
template <typename Section>
Section serverView(const QByteArray &bytes, QStringList &problems)
{
    QTemporaryFile file;
    if (!file.open() || file.write(bytes) != bytes.size() || !file.flush())
        throw ToolError{ExitCode::Unwritable, QStringLiteral("no temporary file to check the change in; vk.cfg is as it was")};
    return serverView<Section>(file.fileName(), problems);
}

} // namespace NVL::Engineering::VK
