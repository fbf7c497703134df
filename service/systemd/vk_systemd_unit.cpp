// vk_systemd_unit: writes the unit that a package ships, from the same template and code as `Voltkeep -i`.
//   vk_systemd_unit NAME DESCRIPTION PROGRAM USER DATA-FOLDER ALIAS PACKAGE OUTPUT
// Run by the build (service/CMakeLists.txt); not installed.
#include "SystemdUnitFile.h"

#include <QCoreApplication>
#include <QSaveFile>

#include <cstdio>

using NVL::Engineering::VK::SystemdUnitFile;

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 9) {
        std::fprintf(stderr, "usage: %s NAME DESCRIPTION PROGRAM USER DATA-FOLDER ALIAS PACKAGE OUTPUT\n", argv[0]);
        return 2;
    }
    SystemdUnitFile unit(arguments.at(1), arguments.at(2), arguments.at(3));
    unit.setUser(arguments.at(4));
    unit.setWritableFolder(arguments.at(5));
    unit.setAlias(arguments.at(6));
    unit.setOrigin(SystemdUnitFile::packageOrigin(arguments.at(7)));
    const QString text = unit.text();
    if (text.isEmpty()) {
        std::fprintf(stderr, "vk_systemd_unit: %s\n", qPrintable(unit.errorText()));
        return 1;
    }
    QSaveFile file(arguments.at(8));
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        std::fprintf(stderr, "vk_systemd_unit: %s: %s\n", qPrintable(arguments.at(8)), qPrintable(file.errorString()));
        return 1;
    }
    return 0;
}
