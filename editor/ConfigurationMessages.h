#pragma once

#include <FieldRules.h>

#include <QString>

#include <exception>

class QWidget;

namespace NVL::Engineering::VK {

// The editor's word to the user when the configuration file lets it down.

// The file cannot be read or parsed: names the file and gives the JSON library's message.
void showUnreadableConfiguration(QWidget *parent, const QString &file, const std::exception &error);

// A field holds what the file must not: names the field and why; nothing is written.
void showRefusedField(QWidget *parent, const QString &title, const FieldRules::Problem &problem);

// A write failed (no permission, disk full, a value the file cannot hold): the change is lost.
void showUnsavedChange(QWidget *parent, const QString &file);

} // namespace NVL::Engineering::VK
