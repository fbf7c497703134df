#pragma once

#include "SmtpSession.h"

#include <SmtpSettingsData.h>

#include <QString>
#include <QStringList>

namespace NVL::Engineering::VK {

// The mail that proves the SMTP settings work, the same from Bellwright's Test button and from
// `vkconfig test-mail`: to the sender's own address, a heading with the time and the logo inline.
class TestMail
{
public:
    static QString subject() { return QStringLiteral("Test mail from Bellwright"); }

    // Sends it with the settings as they stand; blocks for the conversation like SmtpSession::run.
    static SmtpSession::Outcome send(const SmtpSettingsData &settings);

    // What an administrator needs to act on: the server, port and security, then one line per step
    // that was tried (connect, log in, send), each done or failed with the step and the reason.
    static QStringList report(const SmtpSettingsData &settings, const SmtpSession::Outcome &outcome);
};

} // namespace NVL::Engineering::VK
