#include "SmtpSession.h"

#include "SmtpClient.h"

namespace NVL::Engineering::VK {

SmtpSession::Outcome SmtpSession::run(const SmtpSettingsData &settings, const QList<MimeMessage *> &messages)
{
    Outcome outcome;
    const auto note = [&outcome](bool succeeded, const SmtpFailure &failure) {
        if (!succeeded && !outcome.failure.failed())
            outcome.failure = failure;
        return succeeded;
    };

    // Without authentication the credentials stay here: no AUTH goes out.
    const bool authenticate = settings.authentication.enabled;
    SmtpClient client(QString::fromStdString(settings.server), settings.port, settings.security);
    if (authenticate) {
        client.setMechanism(SmtpClient::Login);
        client.setUser(QString::fromStdString(settings.authentication.username));
        client.setPassword(QString::fromStdString(settings.authentication.password));
    }

    // Nothing more goes to a server we could not connect to properly: it may be an impostor after a
    // refused STARTTLS.
    outcome.connected = note(client.connectToServer(), client.lastFailure());
    outcome.loggedIn = !authenticate || (outcome.connected && note(client.login(), client.lastFailure()));
    for (MimeMessage *message : messages)
        outcome.sent.append(outcome.connected && note(client.sendMail(*message), client.lastFailure()));
    client.quit();
    return outcome;
}

} // namespace NVL::Engineering::VK
