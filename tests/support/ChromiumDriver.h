#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QWebSocket>

// Debian's chromium, headless, driven over its DevTools protocol: load pages, run script in them, take
// screenshots, and collect what its console reports (errors, uncaught exceptions, refused loads,
// dialogs a page opened).
class ChromiumDriver
{
public:
    ChromiumDriver();
    ~ChromiumDriver();

    ChromiumDriver(const ChromiumDriver &) = delete;
    ChromiumDriver &operator=(const ChromiumDriver &) = delete;

    // False, with the reason, when the browser cannot be started at all (the caller skips). The
    // arguments come before chromium's own.
    bool start(QString &reason, const QStringList &arguments = {});

    // Loads the page and waits for its load event.
    bool navigate(const QString &url);
    // The expression's value (promises awaited); an exception comes back as an invalid value.
    QJsonValue evaluate(const QString &expression);
    // Evaluates until the expression is true or the time is up.
    bool waitUntil(const QString &expression, int timeoutMs = 10000);
    bool screenshot(const QString &path, int width, int height);

    // Console errors, uncaught exceptions, failed loads and dialogs, in the order they came.
    QStringList problems() const { return m_problems; }

private:
    std::optional<QJsonObject> call(const QString &method, const QJsonObject &params = {}, int timeoutMs = 15000);
    void received(const QString &message);

    QTemporaryDir m_profile;
    QProcess m_browser;
    QWebSocket m_socket;
    QString m_session;
    int m_nextId = 0;
    QHash<int, QJsonObject> m_replies;
    bool m_loaded = false;
    QStringList m_problems;
};
