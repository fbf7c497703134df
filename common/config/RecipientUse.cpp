#include "RecipientUse.h"

#include <algorithm>

namespace NVL::Engineering::VK::RecipientUse {

namespace {

bool namesAny(const NotificationData &notification, const std::set<std::string> &uuids)
{
    return std::any_of(uuids.cbegin(), uuids.cend(),
                       [&notification](const std::string &uuid) { return notification.recipientList.count(uuid) > 0; });
}

} // namespace

QStringList notificationsNaming(const NotificationList &notifications, const std::set<std::string> &uuids)
{
    QStringList aliases;
    for (const NotificationData &notification : notifications)
        if (namesAny(notification, uuids))
            aliases << QString::fromStdString(notification.alias);
    return aliases;
}

QStringList removeFromNotifications(NotificationList &notifications, const std::set<std::string> &uuids)
{
    const QStringList aliases = notificationsNaming(notifications, uuids);
    for (NotificationData &notification : notifications)
        for (const std::string &uuid : uuids)
            notification.recipientList.erase(uuid);
    return aliases;
}

std::set<std::string> removedRecipients(const RecipientList &before, const RecipientList &after)
{
    std::set<std::string> removed;
    for (const RecipientData &recipient : before)
        removed.insert(recipient.uuid);
    for (const RecipientData &recipient : after)
        removed.erase(recipient.uuid);
    return removed;
}

} // namespace NVL::Engineering::VK::RecipientUse
