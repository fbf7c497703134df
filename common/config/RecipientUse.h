#pragma once

#include "ConfigurationData.h"

#include <QStringList>

#include <set>
#include <string>

namespace NVL::Engineering::VK {

// Notifications name their recipients by uuid only, so a recipient that goes must also leave every
// notification that names it, or its uuid stays behind unseen and is never cleaned up.
namespace RecipientUse {

// The aliases of the notifications that name any of these uuids, in list order.
QStringList notificationsNaming(const NotificationList &notifications, const std::set<std::string> &uuids);

// Takes the uuids out of every notification; returns the aliases of those that named any of them.
QStringList removeFromNotifications(NotificationList &notifications, const std::set<std::string> &uuids);

// The uuids of `before` that `after` no longer holds.
std::set<std::string> removedRecipients(const RecipientList &before, const RecipientList &after);

} // namespace RecipientUse

} // namespace NVL::Engineering::VK
