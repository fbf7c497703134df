#pragma once

#include "PreparedMail.h"

#include <QList>
#include <QString>

namespace NVL::Engineering::VK {

// Mails a stop cut short before the mail server took them, kept in a file beside the database until the
// next start sends them. Content and recipients only: the SMTP settings, password included, are those in
// force when they go, read from the configuration as for every mail.
namespace MailSpool {

// Writes the mails (replacing the file) in one atomic step; false when the file cannot be written.
bool keep(const QString &path, const QList<PreparedMail> &mails);
// The mails kept, and the file removed; none when there is no file. A file that cannot be read is
// kept aside as <path>.unreadable and named in `error`.
QList<PreparedMail> take(const QString &path, QString *error);

} // namespace MailSpool

} // namespace NVL::Engineering::VK
