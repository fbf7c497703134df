#include "ConfigurationMessages.h"

#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>

namespace NVL::Engineering::VK {

namespace {

QString shownPath(const QString &file)
{
    return QDir::toNativeSeparators(file);
}

} // namespace

void showUnreadableConfiguration(QWidget *parent, const QString &file, const std::exception &error)
{
    QMessageBox::critical(parent, QCoreApplication::translate("Bellwright", "Bellwright Configuration Error"),
                          QCoreApplication::translate("Bellwright",
                                                      "The configuration file \"%1\" cannot be read:\n%2\n\n"
                                                      "Bellwright ends; the file was left as it is.")
                              .arg(shownPath(file), QString::fromUtf8(error.what())));
}

void showRefusedField(QWidget *parent, const QString &title, const FieldRules::Problem &problem)
{
    QString field = FieldRules::fieldName(problem.field);
    field[0] = field[0].toUpper();
    QMessageBox::warning(parent, title,
                         QCoreApplication::translate("Bellwright", "%1 cannot be saved: %2. Nothing was saved.")
                             .arg(field, problem.reason));
}

void showUnsavedChange(QWidget *parent, const QString &file)
{
    QMessageBox::warning(parent, QCoreApplication::translate("Bellwright", "Bellwright"),
                         QCoreApplication::translate("Bellwright",
                                                     "The change was not saved: the configuration file \"%1\" "
                                                     "could not be written. The file is as it was before.")
                             .arg(shownPath(file)));
}

} // namespace NVL::Engineering::VK
