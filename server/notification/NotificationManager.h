#pragma once

#include "BatteryRecord.h"
#include "PreparedMail.h"
#include "ReportTexts.h"

#include <ConfigurationData.h>

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

namespace NVL::Engineering::VK {

// Decides when the server sends mail and sends it: periodic reports planned in seven-day windows,
// one single-shot timer per occurrence, and health alerts when a battery falls into a configured class.
// Everything runs on the thread of the event loop. Without a mail queue, delivery blocks it for one
// SMTP session; with one, the mail is composed and read from the configuration here and sent there.
class MailQueue;

class NotificationManager : public QObject
{
    Q_OBJECT

public:
    using Clock = std::function<QDateTime()>;

    static constexpr int WindowDays = 7;
    static constexpr int PassLeadSeconds = 3600; // a pass runs this long before its window starts

    // Plans the first window at once.
    explicit NotificationManager(QObject *parent = nullptr);
    // The clock gives the local wall-clock time that planning uses instead of the system's.
    NotificationManager(QObject *parent, Clock clock);
    ~NotificationManager() override;

    // Mails go to this queue from now on; null sends them at once again. Not owned.
    void setMailQueue(MailQueue *queue);

    // Sends the report of the occurrence that timerExpired announced under this key.
    void periodicReport(const QString &key, const QList<BatteryRecord> &records);
    // Sends an alert for every triggered notification set to the record's health class.
    void healthAlert(const BatteryRecord &record);

    // The first due time at or after now, on the process's local clock (DueTime::nextDueTime);
    // invalid for an unknown periodic type or a day of the week, day or month out of range.
    QDateTime nextDueTime(const NotificationData &notification) const;
    static QDateTime nextDueTime(const NotificationData &notification, const QDateTime &now);

    static ReportTexts composeReport(const QList<BatteryRecord> &records);
    static ReportTexts composeAlert(const BatteryRecord &record);
    // The HTML part of the mail, with its heading dated now.
    static QString mailHtml(const NotificationData &notification, const ReportTexts &texts,
                            const QDateTime &now);
    // Reads the SMTP settings and recipients anew and sends the texts in one SMTP session.
    static void deliver(const NotificationData &notification, const ReportTexts &texts);
    // The configuration reads and composition of deliver; nothing when there is nobody to send to or
    // the file cannot be read (logged). Reads process-wide names: call on the event-loop thread only.
    static std::optional<PreparedMail> prepareMail(const NotificationData &notification, const ReportTexts &texts);
    // The SMTP session of deliver; safe on any thread.
    static void sendMail(const PreparedMail &mail);

    // The plan as it stands, for diagnostics and tests.
    struct ArmedOccurrence
    {
        QString key;
        QDateTime due;
        NotificationData notification;
        QTimer *timer = nullptr;
    };
    QList<ArmedOccurrence> armedOccurrences() const; // in order of due time
    QList<NotificationData> triggeredNotifications() const;
    bool isScheduled(const QString &key) const;
    QDateTime windowStart() const;
    QDateTime nextPassTime() const;
    const QTimer *passTimer() const;

signals:
    void timerExpired(QString uuid);

public slots:
    void setupTimers();

private:
    struct Occurrence
    {
        QString key;
        QString identity;
        QDateTime due;
        QTimer *timer = nullptr;
    };

    void arm(const QString &key, const QString &identity, const QDateTime &due, const QDateTime &now);
    void occurrenceDue(QTimer *timer);
    void dispatch(const NotificationData &notification, const ReportTexts &texts);

    Clock clock;
    QMap<QString, NotificationData> scheduled; // key -> notification, for the occurrences of the current plan
    QList<NotificationData> triggered;
    NotificationList notifications;            // the list last read without error
    QList<Occurrence> armed;                   // occurrences whose timers have not fired yet
    QHash<QString, QDateTime> lastFired;       // identity -> due time of its latest fired occurrence
    QDateTime windowStartTime;
    QDateTime nextPass;
    QTimer planningTimer;
    MailQueue *mailQueue = nullptr;
};

} // namespace NVL::Engineering::VK
