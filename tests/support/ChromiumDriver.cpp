#include "ChromiumDriver.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

namespace {

// Runs the event loop until the condition holds or the deadline passes.
template<typename Condition>
bool spin(Condition condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

} // namespace

ChromiumDriver::ChromiumDriver()
{
    QObject::connect(&m_socket, &QWebSocket::textMessageReceived, [this](const QString &m) { received(m); });
}

ChromiumDriver::~ChromiumDriver()
{
    m_socket.close();
    if (m_browser.state() != QProcess::NotRunning) {
        m_browser.terminate();
        if (!m_browser.waitForFinished(5000)) {
            m_browser.kill();
            m_browser.waitForFinished(5000);
        }
    }
}

bool ChromiumDriver::start(QString &reason, const QStringList &arguments)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (program.isEmpty()) {
        reason = QStringLiteral("chromium is not installed (Debian package chromium)");
        return false;
    }
    // A profile of its own, and nothing that reaches out of the machine.
    m_browser.start(program, arguments + QStringList{QStringLiteral("--headless"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
                              QStringLiteral("--disable-quic"), QStringLiteral("--no-first-run"),
                              QStringLiteral("--disable-background-networking"),
                              QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
                              QStringLiteral("--hide-scrollbars"), QStringLiteral("--remote-debugging-port=0"),
                              QStringLiteral("--user-data-dir=") + m_profile.path(), QStringLiteral("about:blank")});
    QByteArray output;
    QString endpoint;
    const QRegularExpression listening(QStringLiteral("DevTools listening on (ws://\\S+)"));
    spin([&] {
        m_browser.waitForReadyRead(50);
        output += m_browser.readAllStandardError();
        const QRegularExpressionMatch match = listening.match(QString::fromUtf8(output));
        endpoint = match.captured(1);
        return !endpoint.isEmpty() || m_browser.state() == QProcess::NotRunning;
    }, 30000);
    if (endpoint.isEmpty()) {
        reason = QStringLiteral("chromium did not start: ") + QString::fromUtf8(output.right(600)).trimmed();
        return false;
    }
    m_socket.open(QUrl(endpoint));
    if (!spin([this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 10000)) {
        reason = QStringLiteral("cannot reach chromium's DevTools at ") + endpoint;
        return false;
    }
    const auto target = call(QStringLiteral("Target.createTarget"), {{QStringLiteral("url"), QStringLiteral("about:blank")}});
    const auto attached = target ? call(QStringLiteral("Target.attachToTarget"),
                                        {{QStringLiteral("targetId"), target->value(QLatin1String("targetId"))},
                                         {QStringLiteral("flatten"), true}})
                                 : std::nullopt;
    if (!attached) {
        reason = QStringLiteral("chromium opened no page");
        return false;
    }
    m_session = attached->value(QLatin1String("sessionId")).toString();
    for (const char *domain : {"Page.enable", "Runtime.enable", "Log.enable"}) {
        if (!call(QString::fromLatin1(domain))) {
            reason = QStringLiteral("chromium refused ") + QString::fromLatin1(domain);
            return false;
        }
    }
    return true;
}

std::optional<QJsonObject> ChromiumDriver::call(const QString &method, const QJsonObject &params, int timeoutMs)
{
    const int id = ++m_nextId;
    QJsonObject message{{QStringLiteral("id"), id}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
    if (!m_session.isEmpty())
        message.insert(QStringLiteral("sessionId"), m_session);
    m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    if (!spin([this, id] { return m_replies.contains(id); }, timeoutMs))
        return std::nullopt;
    const QJsonObject reply = m_replies.take(id);
    if (reply.contains(QLatin1String("error")))
        return std::nullopt;
    return reply.value(QLatin1String("result")).toObject();
}

void ChromiumDriver::received(const QString &text)
{
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    if (message.contains(QLatin1String("id"))) {
        m_replies.insert(message.value(QLatin1String("id")).toInt(), message);
        return;
    }
    const QString method = message.value(QLatin1String("method")).toString();
    const QJsonObject params = message.value(QLatin1String("params")).toObject();
    if (method == QLatin1String("Page.loadEventFired")) {
        m_loaded = true;
    } else if (method == QLatin1String("Runtime.consoleAPICalled")) {
        const QString type = params.value(QLatin1String("type")).toString();
        if (type == QLatin1String("error") || type == QLatin1String("assert"))
            m_problems << QStringLiteral("console.%1: %2").arg(type, QString::fromUtf8(QJsonDocument(params.value(QLatin1String("args")).toArray()).toJson(QJsonDocument::Compact)));
    } else if (method == QLatin1String("Runtime.exceptionThrown")) {
        m_problems << QStringLiteral("exception: ")
                + params.value(QLatin1String("exceptionDetails")).toObject().value(QLatin1String("text")).toString();
    } else if (method == QLatin1String("Log.entryAdded")) {
        const QJsonObject entry = params.value(QLatin1String("entry")).toObject();
        if (entry.value(QLatin1String("level")).toString() == QLatin1String("error"))
            m_problems << QStringLiteral("log: %1 (%2)").arg(entry.value(QLatin1String("text")).toString(),
                                                             entry.value(QLatin1String("url")).toString());
    } else if (method == QLatin1String("Page.javascriptDialogOpening")) {
        m_problems << QStringLiteral("dialog: ") + params.value(QLatin1String("message")).toString();
        // Answered at once, or the page would wait for it for good.
        QJsonObject answer{{QStringLiteral("id"), ++m_nextId},
                           {QStringLiteral("method"), QStringLiteral("Page.handleJavaScriptDialog")},
                           {QStringLiteral("params"), QJsonObject{{QStringLiteral("accept"), true}}},
                           {QStringLiteral("sessionId"), m_session}};
        m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact)));
    }
}

bool ChromiumDriver::navigate(const QString &url)
{
    m_loaded = false;
    const auto result = call(QStringLiteral("Page.navigate"), {{QStringLiteral("url"), url}});
    if (!result || result->contains(QLatin1String("errorText")))
        return false;
    return spin([this] { return m_loaded; }, 15000);
}

QJsonValue ChromiumDriver::evaluate(const QString &expression)
{
    const auto result = call(QStringLiteral("Runtime.evaluate"), {{QStringLiteral("expression"), expression},
                                                                   {QStringLiteral("returnByValue"), true},
                                                                   {QStringLiteral("awaitPromise"), true}});
    if (!result || result->contains(QLatin1String("exceptionDetails")))
        return QJsonValue(QJsonValue::Undefined);
    return result->value(QLatin1String("result")).toObject().value(QLatin1String("value"));
}

bool ChromiumDriver::waitUntil(const QString &expression, int timeoutMs)
{
    return spin([&] { return evaluate(expression).toBool(); }, timeoutMs);
}

bool ChromiumDriver::screenshot(const QString &path, int width, int height)
{
    const QJsonObject metrics{{QStringLiteral("width"), width}, {QStringLiteral("height"), height},
                              {QStringLiteral("deviceScaleFactor"), 1}, {QStringLiteral("mobile"), width < 600}};
    if (!call(QStringLiteral("Emulation.setDeviceMetricsOverride"), metrics))
        return false;
    const auto shot = call(QStringLiteral("Page.captureScreenshot"), {{QStringLiteral("format"), QStringLiteral("png")}});
    QFile file(path);
    return shot && file.open(QIODevice::WriteOnly)
        && file.write(QByteArray::fromBase64(shot->value(QLatin1String("data")).toString().toLatin1())) > 0;
}
