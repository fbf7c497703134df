#include "TestMail.h"

#include "EmailAddress.h"
#include "MimeHtml.h"
#include "MimeInlineFile.h"
#include "MimeMessage.h"

#include <SecurityName.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

namespace NVL::Engineering::VK {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("TestMail", text);
}

// "done", or "failed" with the failing step where it is not the line's own, and the reason.
QString result(bool done, const SmtpFailure &failure, SmtpFailure::Step own, bool failedHere)
{
    if (done)
        return tr("done");
    if (!failedHere)
        return tr("failed");
    const QString step = failure.step == own ? QString() : tr(" at %1").arg(SmtpFailure::stepName(failure.step));
    return failure.reason.isEmpty() ? tr("failed%1").arg(step) : tr("failed%1: %2").arg(step, failure.reason);
}

} // namespace

SmtpSession::Outcome TestMail::send(const SmtpSettingsData &settings)
{
    // The message only points at these; they outlive it.
    EmailAddress self(QString::fromStdString(settings.sender.email), QString::fromStdString(settings.sender.name));
    MimeHtml html(QStringLiteral("<img src='cid:image1' /><h1>Voltkeep Report: %1</h1>")
                      .arg(QDateTime::currentDateTime().toString(Qt::TextDate))
                  + QStringLiteral("<hr>"));
    MimeInlineFile logo(new QFile(QStringLiteral(":/NVLLogo.png")));
    logo.setContentId(QStringLiteral("image1"));
    logo.setContentType(QStringLiteral("image/png"));

    MimeMessage message(true);
    message.setSender(&self);
    message.addRecipient(&self, MimeMessage::To);
    message.setSubject(subject());
    message.addPart(&html);
    message.addPart(&logo);
    return SmtpSession::run(settings, {&message});
}

QStringList TestMail::report(const SmtpSettingsData &settings, const SmtpSession::Outcome &outcome)
{
    using Step = SmtpFailure::Step;
    const SmtpFailure &failure = outcome.failure;
    const bool connectFailed = failure.step == Step::Connect || failure.step == Step::Tls;
    QStringList lines;
    lines << tr("Server: %1, port %2, security %3")
                 .arg(QString::fromStdString(settings.server))
                 .arg(settings.port)
                 .arg(SecurityName::of(settings.security));
    lines << tr("Connect: %1").arg(result(outcome.connected, failure, Step::Connect, connectFailed));
    if (!outcome.connected)
        return lines; // nothing else goes to a server we could not connect to properly
    if (settings.authentication.enabled)
        lines << tr("Log in as %1: %2")
                     .arg(QString::fromStdString(settings.authentication.username),
                          result(outcome.loggedIn, failure, Step::Login, failure.step == Step::Login));
    const bool sendFailed = failure.step == Step::Sender || failure.step == Step::Recipient || failure.step == Step::Data;
    lines << tr("Send to %1: %2")
                 .arg(QString::fromStdString(settings.sender.email),
                      result(outcome.sent.value(0), failure, Step::None, sendFailed));
    return lines;
}

} // namespace NVL::Engineering::VK
