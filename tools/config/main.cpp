// vkconfig: the Voltkeep notification configuration from a shell, for servers without a desktop.
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
    NVL::Engineering::VK::ConfigTool tool(NVL::Engineering::VK::DataPaths::current().configurationFile, out, err);
    return tool.run(QCoreApplication::arguments().mid(1));
}
