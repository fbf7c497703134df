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
    // The code of that reply; 0 when no reply was the reason (a socket error, a time-out, a message
    // the client would not send).
    int replyCode = 0;
    // Another try later may succeed: no connection, a time-out, a 4xx reply. A 5xx reply, or a
    // message that cannot be sent as it is, fails the same way again.
    bool transient = false;
    // The message ended (its final dot went out) and no reply came: the server may hold it. Sending it
    // again could deliver it twice.
    bool mayHaveBeenAccepted = false;

    bool failed() const { return step != Step::None; }
    // "connect", "TLS", "login", "sender", "recipient", "data"; empty for None.
    static QString stepName(Step step);
};

} // namespace NVL::Engineering::VK
