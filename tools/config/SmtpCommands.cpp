#include "ArgumentList.h"
#include "ConfigTool.h"
#include "PasswordInput.h"

#include <ConfigurationFile.h>
#include <FieldRules.h>
#include <SecurityName.h>
#include <TestMail.h>

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

namespace NVL::Engineering::VK {

namespace {

// The option that sets a field, for the message about its value.
QString optionOf(FieldRules::Field field)
{
    switch (field) {
    case FieldRules::Field::SmtpServer: return QStringLiteral("--server");
    case FieldRules::Field::SmtpUser: return QStringLiteral("--user");
    case FieldRules::Field::SmtpPassword: return QStringLiteral("the password");
    case FieldRules::Field::SenderName: return QStringLiteral("--sender-name");
    default: break;
    }
    return QStringLiteral("--sender-email");
}

// Why the text is neither an IP address nor a host name DNS could resolve, empty when it is one.
QString hostProblem(const QString &host)
{
    if (host.isEmpty())
        return QStringLiteral("it is empty; a host name or IP address is needed");
    if (!QHostAddress(host).isNull())
        return QString();
    // An internationalized name is checked in the ASCII form DNS carries.
    QString ace = QString::fromLatin1(QUrl::toAce(host));
    if (ace.endsWith(QLatin1Char('.')))
        ace.chop(1);
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    const QStringList labels = ace.split(QLatin1Char('.'));
    bool names = !ace.isEmpty() && ace.size() <= 253 && !digits.match(labels.last()).hasMatch();
    for (const QString &part : labels)
        names = names && label.match(part).hasMatch();
    return names ? QString()
                 : QStringLiteral("\"%1\" is no host name or IP address (for example mail.example.com or 192.0.2.25)")
                       .arg(host);
}

QString readPassword(const ArgumentList &arguments, const std::string &user)
{
    std::optional<QString> password;
    if (arguments.has(QStringLiteral("password-stdin"))) {
        password = PasswordInput::fromStandardInput();
        if (!password)
            refuse(QStringLiteral("--password-stdin"), QStringLiteral("standard input cannot be read"));
    } else {
        password = PasswordInput::fromPrompt(QStringLiteral("SMTP password for %1: ").arg(QString::fromStdString(user)));
        if (!password)
            throw ToolError{ExitCode::Usage, QStringLiteral("smtp: --password asks on a terminal, and standard input "
                                                            "is none; use --password-stdin")};
    }
    if (password->isEmpty())
        refuse(QStringLiteral("the password"), QStringLiteral("it is empty (--no-auth turns the login off)"));
    return *password;
}

} // namespace

void ConfigTool::smtp(const QStringList &words)
{
    const ArgumentList arguments(QStringLiteral("smtp"), words,
                                 {{QStringLiteral("server"), 1},
                                  {QStringLiteral("port"), 1},
                                  {QStringLiteral("security"), 1},
                                  {QStringLiteral("auth")},
                                  {QStringLiteral("no-auth")},
                                  {QStringLiteral("user"), 1},
                                  {QStringLiteral("password-stdin")},
                                  {QStringLiteral("password")},
                                  {QStringLiteral("sender-name"), 1},
                                  {QStringLiteral("sender-email"), 1}});
    if (!arguments.positional().isEmpty())
        throw ToolError{ExitCode::Usage, QStringLiteral("smtp takes options only; a password is never an argument: "
                                                        "use --password-stdin or --password (see vkconfig smtp --help)")};
    const QString authChoice = arguments.oneOf({QStringLiteral("auth"), QStringLiteral("no-auth")});
    const QString passwordChoice = arguments.oneOf({QStringLiteral("password-stdin"), QStringLiteral("password")});
    const bool changes = !words.isEmpty();

    if (changes)
        lockForChange();
    SmtpSettingsData settings;
    read([&settings](const ConfigurationFile &file) { settings = file.smtpSettings(); });
    if (!changes) {
        printSmtp(settings);
        return;
    }

    if (arguments.has(QStringLiteral("server")))
        settings.server = arguments.value(QStringLiteral("server")).first().toStdString();
    if (arguments.has(QStringLiteral("port"))) {
        bool ok = false;
        const int port = arguments.value(QStringLiteral("port")).first().toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            refuse(QStringLiteral("--port"), QStringLiteral("a port is a number from 1 to 65535"));
        settings.port = port;
    }
    if (arguments.has(QStringLiteral("security"))) {
        const auto security = SecurityName::parse(arguments.value(QStringLiteral("security")).first());
        if (!security)
            refuse(QStringLiteral("--security"), QStringLiteral("it is none, ssl or starttls"));
        settings.security = *security;
    }
    if (!authChoice.isEmpty())
        settings.authentication.enabled = authChoice == QLatin1String("auth");
    if (arguments.has(QStringLiteral("user")))
        settings.authentication.username = arguments.value(QStringLiteral("user")).first().toStdString();
    if (arguments.has(QStringLiteral("sender-name")))
        settings.sender.name = arguments.value(QStringLiteral("sender-name")).first().toStdString();
    if (arguments.has(QStringLiteral("sender-email")))
        settings.sender.email = arguments.value(QStringLiteral("sender-email")).first().toStdString();
    // Checked before the password is asked for, so that a refused option never wastes a typed password.
    if (const auto problem = FieldRules::smtpSettingsProblem(settings))
        refuse(optionOf(problem->field), problem->reason);
    if (arguments.has(QStringLiteral("server")))
        if (const QString problem = hostProblem(QString::fromStdString(settings.server)); !problem.isEmpty())
            refuse(QStringLiteral("--server"), problem);
    if (!passwordChoice.isEmpty()) {
        settings.authentication.password = readPassword(arguments, settings.authentication.username).toStdString();
        if (const auto problem = FieldRules::smtpSettingsProblem(settings))
            refuse(optionOf(problem->field), problem->reason);
    }
    write([&settings](const ConfigurationFile &file) { return file.setSmtpSettings(settings); });
    m_out << "SMTP settings saved.\n";
}

void ConfigTool::testMail(const QStringList &words)
{
    ArgumentList(QStringLiteral("test-mail"), words, {}).expectPositional(0, QString());
    SmtpSettingsData settings;
    read([&settings](const ConfigurationFile &file) { settings = file.smtpSettings(); });
    if (settings.sender.email.empty())
        throw ToolError{ExitCode::Refused, QStringLiteral("test-mail: no sender email is set; the test mail goes there "
                                                          "(vkconfig smtp --sender-email ADDRESS)")};
    const SmtpSession::Outcome outcome = TestMail::send(settings);
    for (const QString &line : TestMail::report(settings, outcome))
        m_out << line << "\n";
    if (!outcome.succeeded())
        throw ToolError{ExitCode::MailFailed,
                        QStringLiteral("test mail failed at %1: %2")
                            .arg(SmtpFailure::stepName(outcome.failure.step), outcome.failure.reason)};
    m_out << "Test mail sent to " << QString::fromStdString(settings.sender.email) << ".\n";
}

} // namespace NVL::Engineering::VK
