#pragma once

#include "ConnectionLimits.h"
#include "HistorySettings.h"
#include "HttpSettings.h"
#include "InsightSection.h"
#include "MailSettings.h"
#include "StoreSettings.h"
#include "TypeNames.h"
#include "VoltkeepIdentity.h"
#include "WebhookSettings.h"

#include <QString>

namespace NVL::Engineering::VK {

// vk.cfg as the server reads it at start, one struct per section. Every key's default is in its
// section's struct and its bounds are in read(): a value outside them is named in a Warning and the
// default used, so a typo never stops the server.
struct ServerSettings
{
    quint16 port = quint16(Identity::DefaultPort); // the radio port
    ConnectionLimits connections;
    HistorySettings history;
    HttpSettings http;
    MailSettings mail;
    InsightSection insight;
    StoreSettings store;
    TypeNames types;
    WebhookSettings webhooks;

    static ServerSettings read(const QString &fileName);
};

} // namespace NVL::Engineering::VK
