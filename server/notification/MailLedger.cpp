#include "MailLedger.h"

#include "LocalTimeText.h"
#include "Log.h"

#include <optional>

namespace NVL::Engineering::VK {

namespace {

// Aliases come from the file and the radios, replies from the mail server: one line each in the log.
QString printable(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    return text;
}

// A server may echo what it was sent; the password stays out of the log in clear and as sent.
QString withoutPassword(QString text, const SmtpSettingsData &settings)
{
    const QByteArray password = QByteArray::fromStdString(settings.authentication.password);
    if (password.isEmpty())
        return text;
    const QByteArray user = QByteArray::fromStdString(settings.authentication.username);
    for (const QByteArray &secret : {password, password.toBase64(), QByteArray('\0' + user + '\0' + password).toBase64()})
        text.replace(QString::fromUtf8(secret), QStringLiteral("***"));
    return text;
}

QString recipientsText(qsizetype count)
{
    return count == 1 ? QStringLiteral("1 recipient") : QStringLiteral("%1 recipients").arg(count);
}

// "report to 3 recipients", "alert, radio "Truck 7" (B0123456789) fell to Poor, to 2 recipients".
QString whatText(const PreparedMail &mail)
{
    if (mail.kind == PreparedMail::Kind::Report)
        return QStringLiteral("report to ") + recipientsText(mail.recipientCount());
    const QString radio = mail.alertAlias.isEmpty()
        ? mail.alertSerial
        : QStringLiteral("\"%1\" (%2)").arg(mail.alertAlias, mail.alertSerial);
    return QStringLiteral("alert, radio %1 fell to %2, to %3")
        .arg(radio, mail.alertClass, recipientsText(mail.recipientCount()));
}

// "smtp.example.com:587 failed at login: 535 5.7.8 Authentication failed".
QString failureText(const PreparedMail &mail, const SmtpFailure &failure)
{
    return printable(QStringLiteral("%1:%2 failed at %3: %4")
                         .arg(QString::fromStdString(mail.settings.server))
                         .arg(mail.settings.port)
                         .arg(SmtpFailure::stepName(failure.step), withoutPassword(failure.reason, mail.settings)));
}

qsizetype recipientsReached(const PreparedMail &mail, const SmtpSession::Outcome &outcome)
{
    // The session sends the HTML message first when there is one.
    qsizetype reached = 0;
    qsizetype index = 0;
    for (const QList<PreparedMail::Address> *list : {&mail.htmlRecipients, &mail.textRecipients}) {
        if (list->isEmpty())
            continue;
        if (outcome.sent.value(index++))
            reached += list->size();
    }
    return reached;
}

} // namespace

MailLedger::MailLedger(Clock clock)
    : m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTime(); }))
{
}

void MailLedger::record(const PreparedMail &mail, const SmtpSession::Outcome &outcome, const MailAttempt &attempt)
{
    const QDateTime now = m_clock();
    const QString alias = printable(mail.notificationAlias);
    const QString what = printable(whatText(mail));
    // A server may take the mail even after a step failed (a refused login); what counts is that it went.
    const bool delivered = !outcome.sent.isEmpty() && !outcome.sent.contains(false);
    const bool alert = mail.kind == PreparedMail::Kind::Alert;
    std::optional<QString> line;
    LogType level = delivered ? LogType::Information : LogType::Warning;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        Entry &entry = m_entries[alias];
        NotificationRecord &record = entry.record;
        record.alias = alias;
        record.lastAttempt = now;
        record.lastSucceeded = delivered;
        if (delivered) {
            ++(alert ? m_totals.alertsDelivered : m_totals.reportsDelivered);
            m_totals.lastDelivery = now;
            QString text = QStringLiteral("Mail sent for \"%1\": %2").arg(alias, what);
            if (outcome.failure.failed())
                text += QStringLiteral(", although %1").arg(failureText(mail, outcome.failure));
            if (record.failuresInARow > 0)
                text += QStringLiteral(" (the first success after %1 failed attempt%2 since %3)")
                            .arg(record.failuresInARow)
                            .arg(record.failuresInARow == 1 ? QLatin1String("") : QLatin1String("s"))
                            .arg(localTimeText(entry.failingSince));
            line = text;
            record.lastFailure.clear();
            record.lastFailureTransient = false;
            record.lastSuccess = now;
            record.failuresInARow = 0;
            entry.repeatedFailure.clear();
            entry.repeats = 0;
        } else {
            // A mail to be tried again has not failed yet.
            if (attempt.retryInSeconds == 0)
                ++(alert ? m_totals.alertsFailed : m_totals.reportsFailed);
            const QString failure = failureText(mail, outcome.failure);
            if (record.failuresInARow++ == 0)
                entry.failingSince = now;
            record.lastFailure = failure;
            record.lastFailureTransient = outcome.failure.transient;

            const qsizetype reached = recipientsReached(mail, outcome);
            const QString head = QStringLiteral("Mail not sent for \"%1\": %2").arg(alias, what)
                + (reached > 0 ? QStringLiteral(", %1 of them got it").arg(reached) : QString()) + QStringLiteral("; ")
                + failure;
            const QString retry = attempt.retryInSeconds > 0
                ? QStringLiteral("; tried again in %1 s").arg(attempt.retryInSeconds)
                : QString();
            if (attempt.gaveUp) {
                // The end of a mail is told whatever the repeats before it.
                line = head + QStringLiteral("; given up after %1 attempts since %2")
                                  .arg(attempt.number)
                                  .arg(localTimeText(attempt.failingSince));
                level = LogType::Error;
            } else if (failure != entry.repeatedFailure) {
                entry.repeatedFailure = failure;
                entry.repeats = 1;
                entry.repeatingSince = now;
                entry.repeatLogged = now;
                line = head + retry;
            } else {
                ++entry.repeats;
                if (entry.repeatLogged.secsTo(now) >= RepeatLogSeconds) {
                    entry.repeatLogged = now;
                    line = head + QStringLiteral(" (%1 times in a row since %2)")
                                      .arg(entry.repeats)
                                      .arg(localTimeText(entry.repeatingSince))
                    + retry;
                }
            }
        }
    }
    if (line)
        Log::write(*line, level);
}

QList<MailLedger::NotificationRecord> MailLedger::notifications() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    QList<NotificationRecord> records;
    records.reserve(m_entries.size());
    for (const Entry &entry : m_entries)
        records.append(entry.record);
    return records;
}

MailLedger::Totals MailLedger::totals() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_totals;
}

} // namespace NVL::Engineering::VK
