#pragma once

#include <QString>

namespace NVL::Engineering::VK {

// Where an SMTP conversation stopped and why, in words an administrator can act on.
struct SmtpFailure
{
    enum class Step { None, Connect, Tls, Login, Sender, Recipient, Data };

    Step step = Step::None;
    // The server's reply as it came ("535 5.7.8 Authentication failed"), or the socket's error.
    QString reason;

    bool failed() const { return step != Step::None; }
    // "connect", "TLS", "login", "sender", "recipient", "data"; empty for None.
    static QString stepName(Step step);
};

} // namespace NVL::Engineering::VK
