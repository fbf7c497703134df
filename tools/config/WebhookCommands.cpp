#include "ArgumentList.h"
#include "ConfigTool.h"
#include "IniSectionEditor.h"
#include "ServerView.h"

#include <WebhookDocument.h>
#include <WebhookPost.h>
#include <WebhookSettings.h>

#include <QDateTime>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace NVL::Engineering::VK {

namespace {

const QString webhooksSection = QStringLiteral("webhooks");
const QStringList endpointKeys = {QStringLiteral("url"), QStringLiteral("events"), QStringLiteral("secret"),
                                  QStringLiteral("dueDays"), QStringLiteral("ca")};

const WebhookEndpoint *find(const WebhookSettings &settings, const QString &name)
{
    for (const WebhookEndpoint &endpoint : settings.endpoints)
        if (endpoint.name == name)
            return &endpoint;
    return nullptr;
}

// Keys are written as given, so the name must be one QSettings reads back as itself.
void checkName(const QString &name)
{
    static const QRegularExpression word(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    if (!word.match(name).hasMatch())
        throw ToolError{ExitCode::Refused, QStringLiteral("NAME: letters, digits, '-' and '_', at most 64")};
}


} // namespace

void ConfigTool::addWebhook(const QStringList &words)
{
    const ArgumentList arguments(QStringLiteral("webhook add"), words,
                                 {{QStringLiteral("events"), 1}, {QStringLiteral("secret"), 1},
                                  {QStringLiteral("due-days"), 1}, {QStringLiteral("ca"), 1}});
    arguments.expectPositional(2, QStringLiteral("NAME and URL"));
    const QString name = arguments.positional().at(0);
    const QString url = arguments.positional().at(1).trimmed();
    checkName(name);
    if (const QString problem = WebhookSettings::urlProblem(QUrl(url, QUrl::StrictMode)); !problem.isEmpty())
        throw ToolError{ExitCode::Refused, QStringLiteral("URL %1").arg(problem)};
    const QString events = arguments.has(QStringLiteral("events")) ? arguments.value(QStringLiteral("events")).first()
                                                                   : QStringLiteral("all");
    for (const QString &kind : events.split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (kind.trimmed() != QLatin1String("all") && !WebhookSettings::eventKinds().contains(kind.trimmed()))
            throw ToolError{ExitCode::Refused, QStringLiteral("--events: %1 is none of all %2")
                                                   .arg(kind, WebhookSettings::eventKinds().join(QLatin1Char(' ')))};
    // Made here where none is given: a receiver's check is only as good as the secret's randomness.
    QString secret = arguments.value(QStringLiteral("secret")).value(0);
    const bool madeSecret = secret.isEmpty();
    if (madeSecret) {
        QByteArray bytes(32, Qt::Uninitialized);
        QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
        secret = QString::fromLatin1(bytes.toHex());
    }

    lockForChange();
    IniSectionEditor section(readServerSettings(), webhooksSection);
    QStringList problems;
    if (find(serverView<WebhookSettings>(section.bytes(), problems), name))
        throw ToolError{ExitCode::Exists, QStringLiteral("webhook %1 is in %2 already").arg(name, m_serverSettingsPath)};
    for (const QString &key : endpointKeys)
        section.remove(name + QLatin1Char('.') + key);
    section.setValue(name + QStringLiteral(".url"), url);
    section.setValue(name + QStringLiteral(".events"), events.split(QLatin1Char(','), Qt::SkipEmptyParts).join(QLatin1Char(' ')));
    section.setValue(name + QStringLiteral(".secret"), secret);
    if (arguments.has(QStringLiteral("due-days")))
        section.setValue(name + QStringLiteral(".dueDays"), arguments.value(QStringLiteral("due-days")).first());
    if (arguments.has(QStringLiteral("ca")))
        section.setValue(name + QStringLiteral(".ca"), arguments.value(QStringLiteral("ca")).first());
    problems.clear();
    const WebhookSettings view = serverView<WebhookSettings>(section.bytes(), problems);
    if (!find(view, name) || !problems.isEmpty())
        throw ToolError{ExitCode::Refused, QStringLiteral("the server would not take it as given (%1); %2 is as it was")
                                               .arg(problems.join(QStringLiteral("; ")), m_serverSettingsPath)};
    writeServerSettings(section.bytes());
    m_out << "Webhook " << name << " posts to " << url << ".\n";
    if (madeSecret)
        m_out << "Its secret, for the receiver to check X-Voltkeep-Signature with: " << secret << "\n";
    m_out << restartNote;
}

void ConfigTool::removeWebhook(const QStringList &words)
{
    const ArgumentList arguments(QStringLiteral("webhook remove"), words, {});
    arguments.expectPositional(1, QStringLiteral("NAME"));
    const QString name = arguments.positional().at(0);
    lockForChange();
    IniSectionEditor section(readServerSettings(), webhooksSection);
    bool removed = false;
    for (const QString &key : endpointKeys)
        removed = section.remove(name + QLatin1Char('.') + key) || removed;
    if (!removed)
        throw ToolError{ExitCode::NotFound, QStringLiteral("no webhook %1 in %2").arg(name, m_serverSettingsPath)};
    writeServerSettings(section.bytes());
    m_out << "Webhook " << name << " removed; the events still waiting for it are dropped at the next start.\n"
          << restartNote;
}

void ConfigTool::listWebhooks(const QStringList &words)
{
    ArgumentList(QStringLiteral("webhook list"), words, {}).expectPositional(0, QString());
    readServerSettings(); // only for its refusal of a file that cannot be read
    QStringList problems;
    const WebhookSettings settings = serverView<WebhookSettings>(m_serverSettingsPath, problems);
    m_out << "Webhooks (" << settings.endpoints.size() << ") in " << m_serverSettingsPath << "\n";
    for (const WebhookEndpoint &endpoint : settings.endpoints) {
        m_out << "  " << endpoint.name << "  " << endpoint.url.toString() << "\n    events "
              << endpoint.events.join(QLatin1Char(' '));
        if (endpoint.wants(QStringLiteral("battery.due")))
            m_out << "; due within " << endpoint.dueDays << " days";
        if (!endpoint.caFile.isEmpty())
            m_out << "; authority " << endpoint.caFile;
        m_out << "\n";
    }
    if (!problems.isEmpty())
        m_out << "The server leaves out, with a Warning at start:\n";
    for (const QString &problem : problems)
        m_out << "  vk.cfg: " << problem << "\n";
}

void ConfigTool::testWebhook(const QStringList &words)
{
    const ArgumentList arguments(QStringLiteral("webhook test"), words, {});
    arguments.expectPositional(1, QStringLiteral("NAME"));
    readServerSettings();
    QStringList problems;
    const WebhookSettings settings = serverView<WebhookSettings>(m_serverSettingsPath, problems);
    const WebhookEndpoint *endpoint = find(settings, arguments.positional().at(0));
    if (!endpoint)
        throw ToolError{ExitCode::NotFound, QStringLiteral("no usable webhook %1 in %2 (see vkconfig webhook list)")
                                                .arg(arguments.positional().at(0), m_serverSettingsPath)};
    const WebhookOutbox::Event event = WebhookDocument::test(QDateTime::currentSecsSinceEpoch());
    QEventLoop loop;
    WebhookPost::Result result;
    WebhookPost post(*endpoint, {settings.timeoutSeconds * 1000, settings.answerBytes});
    QObject::connect(&post, &WebhookPost::finished, &loop, [&](const WebhookPost::Result &r) {
        result = r;
        loop.quit();
    });
    post.post(event.id, event.kind, event.body);
    loop.exec();
    if (result.outcome != WebhookPost::Outcome::Delivered)
        throw ToolError{ExitCode::WebhookFailed, QStringLiteral("test event %1 not delivered to %2: %3 (%4)")
                                                     .arg(event.id, endpoint->url.toString(),
                                                          QLatin1String(WebhookPost::outcomeName(result.outcome)), result.detail)};
    m_out << "Test event " << event.id << " delivered to " << endpoint->url.toString() << " (HTTP " << result.status << ").\n";
}

} // namespace NVL::Engineering::VK
