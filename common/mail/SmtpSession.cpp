#include "SmtpSession.h"

#include "SmtpClient.h"

namespace NVL::Engineering::VK {

SmtpSession::Outcome SmtpSession::run(const SmtpSettingsData &settings, const QList<MimeMessage *> &messages)
{
    Outcome outcome;
    // Without authentication the credentials stay here: no AUTH goes out.
    const bool authenticate = settings.authentication.enabled;
    SmtpClient client(QString::fromStdString(settings.server), settings.port, settings.security);
    if (authenticate) {
        client.setMechanism(SmtpClient::Login);
        client.setUser(QString::fromStdString(settings.authentication.username));
        client.setPassword(QString::fromStdString(settings.authentication.password));
    }
    // The failure is read after the step has run: as a second argument beside the step's call it could
    // be read first (the order of arguments is unspecified), and would then be the previous step's.
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
