#include "SmtpSession.h"

#include "SmtpClient.h"

namespace NVL::Engineering::VK {

static_assert(SmtpSession::DefaultSessionLimitMs == SmtpClient::SessionLimitMs);

SmtpSession::Outcome SmtpSession::run(const SmtpSettingsData &settings, const QList<MimeMessage *> &messages,
                                      int sessionLimitMs)
{
    // Without authentication the credentials stay here: no AUTH goes out.
    const bool authenticate = settings.authentication.enabled;
    SmtpClient client(QString::fromStdString(settings.server), settings.port, settings.security);
    client.setSessionLimit(sessionLimitMs);
    if (authenticate) {
        client.setMechanism(SmtpClient::Login);
        client.setUser(QString::fromStdString(settings.authentication.username));
        client.setPassword(QString::fromStdString(settings.authentication.password));
    }

    Outcome outcome;
    // Takes the step's result, so the failure is read after the step: as a second argument beside the
    // step's call it could be read before it, in whatever order the compiler picks.
    const auto note = [&outcome, &client](bool succeeded) {
        if (!succeeded && !outcome.failure.failed())
            outcome.failure = client.lastFailure();
        return succeeded;
    };

    // Nothing more goes to a server we could not connect to properly: it may be an impostor after a
    // refused STARTTLS.
    outcome.connected = note(client.connectToServer());
    outcome.loggedIn = !authenticate || (outcome.connected && note(client.login()));
    for (MimeMessage *message : messages)
        outcome.sent.append(outcome.connected && note(client.sendMail(*message)));
    client.quit();
    return outcome;
}

} // namespace NVL::Engineering::VK
