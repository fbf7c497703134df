#pragma once

#include "SmtpFailure.h"

#include <SmtpSettingsData.h>

#include <QList>

namespace NVL::Engineering::VK {

class MimeMessage;

// One SMTP conversation with the configured mail server: connect (with the configured security), log in
// when authentication is on, send each message, quit. The server's notifications and the editor's test
// mail both go this way; each caller words and handles the outcome its own way.
class SmtpSession
{
public:
    struct Outcome
    {
        bool connected = false;
        bool loggedIn = false; // true without authentication: there is nothing to fail
        QList<bool> sent;      // per message, in order
        SmtpFailure failure;   // the first step that failed, step None when every message went

        bool succeeded() const { return !failure.failed(); }
    };

    // Blocks the calling thread for the conversation, within the client's time-outs and at most
    // sessionLimitMs in all; any thread.
    static Outcome run(const SmtpSettingsData &settings, const QList<MimeMessage *> &messages,
                       int sessionLimitMs = DefaultSessionLimitMs);
    static constexpr int DefaultSessionLimitMs = 60000;
};

} // namespace NVL::Engineering::VK
