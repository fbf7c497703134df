// vkconfig: the Voltkeep notification configuration, and the type names of vk.cfg, from a shell, for
// servers without a desktop.
#include "ConfigTool.h"

#include <DataPaths.h>

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vkconfig"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    const NVL::Engineering::VK::DataPaths paths = NVL::Engineering::VK::DataPaths::current();
    NVL::Engineering::VK::ConfigTool tool(paths.configurationFile, paths.settingsFile(), out, err);
    return tool.run(QCoreApplication::arguments().mid(1));
}
