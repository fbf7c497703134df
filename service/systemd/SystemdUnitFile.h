#pragma once

#include <QString>

namespace NVL::Engineering::VK {

// The text of the systemd unit that runs the program as a notify service with a watchdog, writing
// only its data folder: the template voltkeep.service.in (compiled in) with the values filled in.
// The unit `-i` writes and the one the voltkeep package ships (vk_systemd_unit) both come from here.
class SystemdUnitFile
{
public:
    SystemdUnitFile(const QString &serviceName, const QString &description, const QString &programPath);

    // The Linux user the service runs as; empty runs it as root.
    void setUser(const QString &user);
    // The folder the service writes (its data folder and its siblings), and, when the data folder's
    // root was chosen through NORVALE_COMMON_APPDATA, that root, so that the service uses the same one.
    void setWritableFolder(const QString &folder);
    void setCommonFolderOverride(const QString &commonFolder);
    // The comment on the unit's first line; by default that `-i` installed it and `-u` removes it.
    void setOrigin(const QString &origin);
    // Another name of the unit ("Voltkeep.service"), made when the unit is enabled; empty for none.
    void setAlias(const QString &alias);

    // Empty when a value cannot be written into a unit (a line break, a relative program path, a
    // user name systemd would not accept); errorText() says which.
    QString text() const;
    QString errorText() const { return m_error; }

    static QString unitName(const QString &serviceName) { return serviceName + QStringLiteral(".service"); }

    // The origins of the unit `-i` writes and of the one the named package ships: their first lines
    // are how -i and -u tell the unit they wrote from one they must leave alone.
    static QString installOrigin(const QString &serviceName);
    static QString packageOrigin(const QString &package);

    // The user for the account given to the install option: a Windows-style local account ".\name"
    // or a plain name is the user name; one ending in "\LocalSystem", or none, is root (empty).
    // False for other domains and for names that are no valid user names.
    static bool userForAccount(const QString &account, QString &user);

private:
    QString m_serviceName;
    QString m_description;
    QString m_programPath;
    QString m_user;
    QString m_writableFolder;
    QString m_commonOverride;
    QString m_origin;
    QString m_alias;
    mutable QString m_error;
};

} // namespace NVL::Engineering::VK
