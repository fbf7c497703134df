#pragma once

#include "ConfigurationData.h"

#include <QDialog>
#include <QString>

#include <memory>

class QListWidget;

namespace Ui {
class Notification;
}

namespace NVL::Engineering::VK {

// Creates or edits one notification. Keeps no copy of the record: the widgets hold the values and
// notificationData() builds the record from them.
class Notification : public QDialog
{
    Q_OBJECT

public:
    // A new notification: styled like the other dialogs, every recipient starts as available.
    Notification(const RecipientList &recipients, const QString &defaultAlias, QWidget *parent = nullptr);
    // Editing: keeps the platform's look. Uuids that name no recipient are not shown, so accepting drops them.
    Notification(const NotificationData &notification, const RecipientList &recipients, const QString &defaultAlias,
                 QWidget *parent = nullptr);
    ~Notification() override;

    NotificationData notificationData() const;

    // Refuses an alias the file must not hold; a notification without recipients would never mail
    // anyone, so the user is told and may go back or save it anyway.
    void accept() override;

private slots:
    void notificationTypeChanged();
    void periodTypeChanged(int id, bool checked);
    void onAssign();
    void onUnassign();
    void onAliasEditFinished();

private:
    Notification(bool styled, const QString &defaultAlias, QWidget *parent);
    void fillRecipients(const RecipientList &recipients, const std::set<std::string> &assigned);
    void showNotification(const NotificationData &notification);
    static void moveSelected(QListWidget *from, QListWidget *to);

    std::unique_ptr<Ui::Notification> m_ui;
    QString m_defaultAlias;
};

} // namespace NVL::Engineering::VK
