#include "ConfigurationMessages.h"

#include <ConfigurationFile.h>

#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>

namespace NVL::Engineering::VK {

namespace {

QString configurationPath()
{
    return QDir::toNativeSeparators(ConfigurationFile::filePath());
}

} // namespace

void showUnreadableConfiguration(QWidget *parent, const std::exception &error)
{
    QMessageBox::critical(parent, QCoreApplication::translate("Bellwright", "Bellwright Configuration Error"),
                          QCoreApplication::translate("Bellwright",
                                                      "The configuration file \"%1\" cannot be read:\n%2\n\n"
                                                      "Bellwright ends; the file was left as it is.")
                              .arg(configurationPath(), QString::fromUtf8(error.what())));
}

void showUnsavedChange(QWidget *parent)
{
    QMessageBox::warning(parent, QCoreApplication::translate("Bellwright", "Bellwright"),
                         QCoreApplication::translate("Bellwright",
                                                     "The change was not saved: the configuration file \"%1\" "
                                                     "could not be written. The file is as it was before.")
                             .arg(configurationPath()));
}

} // namespace NVL::Engineering::VK
