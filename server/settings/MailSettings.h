#pragma once

namespace NVL::Engineering::VK {

// Section [mail] of vk.cfg: how long the server keeps trying a mail, and how long one session may take.
struct MailSettings
{
    int retryFirstSeconds = 30;
    int retryForSeconds = 3600; // 0: a transient failure is final as well
    int sessionSeconds = 60;
};

} // namespace NVL::Engineering::VK
