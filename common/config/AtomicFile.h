#pragma once

#include <QByteArray>
#include <QString>

namespace NVL::Engineering::VK::AtomicFile {

// Reading and replacing the files vkconfig and Bellwright change on behalf of the server: the JSON
// configuration and vk.cfg.

// What a replaced file's mode becomes; a new file is owner read and write (0600) either way.
enum class Mode {
    Private, // kept where only the owner writes and at most the group reads (0640), else 0600
    AsItWas, // kept whatever it is
};

// The bytes of a regular file; empty for anything else. A FIFO or a device would block the caller until
// somebody else writes to it, so the kind is checked on the opened file itself.
QByteArray readRegular(const QString &path);

// The folder of `path`, with its parents, where it is missing; a failure shows when the file is used.
// Made by root, each folder takes the owner of the one it is made in.
void makeFolderOf(const QString &path);

// Replaces the file by rename, so that a crash or a full disk halfway leaves the previous file intact and
// a reader never finds it missing or half written. Run as root, the file keeps its owner (a new one takes
// its folder's), so the service can still read what root wrote for it. False when it cannot be written.
bool replace(const QString &path, const QByteArray &bytes, Mode mode);

} // namespace NVL::Engineering::VK::AtomicFile
