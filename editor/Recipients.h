#pragma once

#include "ConfigurationData.h"
#include "ItemRecordMap.h"

#include <QDialog>
#include <QString>

#include <memory>

class QListWidgetItem;

namespace Ui {
class Recipients;
}

namespace NVL::Engineering::VK {

// Edits the list of mail recipients. Works on its own copy; the caller writes recipientRecords() to the
// configuration file only when the dialog is accepted, with notificationRecords() in the same write:
// a recipient removed here is taken out of the notifications that named it, after the user agreed.
class Recipients : public QDialog
{
    Q_OBJECT

public:
    explicit Recipients(const RecipientList &recipients, QWidget *parent = nullptr);
    ~Recipients() override;

    // The notifications of the file, so that Remove can name those that use a recipient.
    void setNotifications(const NotificationList &notifications) { m_notifications = notifications; }

    // In the order the recipients entered the dialog: as given, then additions.
    RecipientList recipientRecords() const;
    // The notifications given, without the recipients removed here.
    NotificationList notificationRecords() const { return m_notifications; }

    // Refuses a recipient the configuration file must not hold (FieldRules): shows it and names the field.
    void accept() override;
    // "Recipient n" with n one above the highest number in use; gaps are never reused.
    QString nextRecipientName() const;

private:
    void fillList(const RecipientList &recipients);
    void addRecipient();
    void removeRecipients();
    void selectionChanged();
    void nameEdited(const QString &text);
    void nameEditingFinished();
    void emailEdited(const QString &text);
    void textMessageClicked(bool checked);

    // The record of the current item while the details panel shows exactly one recipient.
    RecipientData *editedRecord();
    void renameCurrent(const QString &name);

    std::unique_ptr<Ui::Recipients> m_ui;
    ItemRecordMap<QListWidgetItem, RecipientData> m_recipientItems;
    NotificationList m_notifications;
};

} // namespace NVL::Engineering::VK
