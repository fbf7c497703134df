#pragma once

#include <QDateTime>

namespace NVL::Engineering::VK {

// Where a mail stands after one attempt to send it, as the mail queue decided: the log words its line
// from it. A default one is a single attempt with nothing to follow.
struct MailAttempt
{
    int number = 1;        // 1 for the first attempt of the mail
    QDateTime failingSince; // the end of the mail's first failed attempt; invalid while none failed
    int retryInSeconds = 0; // > 0: a transient failure that is tried again after this wait
    bool gaveUp = false;    // a transient failure past the time retries are allowed: no more attempts
};

} // namespace NVL::Engineering::VK
