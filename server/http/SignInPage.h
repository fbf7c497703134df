#pragma once

#include <QByteArray>
#include <QString>

namespace NVL::Engineering::VK::SignInPage {

// The form a browser posts the token with; `problem` (if any) says why the last try failed, `next` is the
// page to open once signed in.
QByteArray page(const QString &problem, const QString &next);
// `next` as sent, if it is a path of this server; "/" otherwise, so that the form never leads elsewhere.
QString localPath(const QString &next);

} // namespace NVL::Engineering::VK::SignInPage
