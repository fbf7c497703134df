#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

class QSettings;

namespace NVL::Engineering::VK {

// One receiver of [webhooks], its keys prefixed by its name: NAME.url, NAME.events, NAME.secret,
// NAME.dueDays, NAME.ca.
struct WebhookEndpoint
{
    QString name;
    QUrl url;
    QStringList events; // of WebhookSettings::eventKinds()
    QByteArray secret;
    int dueDays = 30;   // battery.due: forecast to be due within this many days
    QString caFile;     // empty: the system's authorities

    bool wants(const QString &kind) const { return events.contains(kind); }
};

// Section [webhooks] of vk.cfg: the receivers, and the bounds every delivery keeps.
struct WebhookSettings
{
    QList<WebhookEndpoint> endpoints;
    int retryFirstSeconds = 10;
    int retryMostSeconds = 3600;   // the backoff doubles up to this
    int retryForSeconds = 24 * 3600; // an event not delivered by then is given up
    int timeoutSeconds = 15;       // one attempt, connection and answer included
    int answerBytes = 64 * 1024;   // more of an answer than this fails the attempt

    static const QStringList &eventKinds();
    // Why the server would not post to `url`; empty when it would.
    static QString urlProblem(const QUrl &url);
    // An endpoint with a problem is left out, the problem named in `problems`.
    static WebhookSettings read(QSettings &settings, QStringList &problems);
    // The names of the endpoints the section holds keys for, usable or not.
    static QStringList names(QSettings &settings);
};

} // namespace NVL::Engineering::VK
