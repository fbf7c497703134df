#pragma once

#include "PreparedMail.h"

#include <SmtpSession.h>

namespace NVL::Engineering::VK {

// Sends one prepared mail: its HTML mail (with the plain-text alternative and the logo) and its text
// message, in one SMTP session. What a mail queue is given to send with; safe on any thread.
namespace MailTransport {

SmtpSession::Outcome send(const PreparedMail &mail);

} // namespace MailTransport

} // namespace NVL::Engineering::VK
