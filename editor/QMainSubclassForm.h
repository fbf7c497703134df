#pragma once

#include "ItemRecordMap.h"

#include <ConfigurationData.h>

#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <exception>
#include <functional>
#include <memory>

class QListWidgetItem;

namespace Ui {
class QMainForm;
}

namespace NVL::Engineering::VK {

class ConfigurationFile;

// The editor's main window: lists the notifications, each with its schedule, report, recipients and next
// due time in vkconfig's words, and opens the dialogs. Every accepted dialog and
// every Remove is written to the configuration file at once; there is no unsaved state.
class QMainSubclassForm : public QMainWindow
{
    Q_OBJECT

public:
    // Loads the notifications from the configuration file at this path; an unreadable file throws the
    // JSON library's exception.
    explicit QMainSubclassForm(const QString &configurationFile, QWidget *parent = nullptr);
    // After a session that saved something, tells the user when the server applies it.
    ~QMainSubclassForm() override;

    QString nextNotificationName() const;
    void loadNotifications();
    // False when the file could not be written; the user has been told and the list shows the file again.
    bool saveNotifications();

    // The records in the order they are written to the file.
    NotificationList notificationRecords() const;

    // The file could not be read during the session; the window closed and the editor must end with 1.
    bool configurationUnreadable() const { return m_unreadable; }

private slots:
    void onAboutExampleApp();
    void onSMTPSettings();
    void onRecipients();
    void onAddNotification();
    void onRemoveNotification();
    void onEditNotification();

private:
    void sortList();
    // The lines under an item's alias; refreshed as recipients change and as due times pass.
    void showDetails(QListWidgetItem *item, const NotificationData &record);
    void showAllDetails();
    // A read failed in the middle of a session: tell the user and close, ending the editor.
    void abandon(const std::exception &error);
    // Reads from the file; an unreadable file is reported and ends the editor. True only if read.
    bool readSection(const std::function<void(const ConfigurationFile &)> &read);
    // Writes one section of the file; a write that failed is reported to the user. True only if written.
    bool writeSection(const std::function<bool(const ConfigurationFile &)> &write);

    std::unique_ptr<Ui::QMainForm> m_ui;
    const QString m_configurationFile;
    // Written in the order the records entered the window (file order, then additions), so that the
    // file's order does not change when nothing was edited.
    ItemRecordMap<QListWidgetItem, NotificationData> m_notificationItems;
    RecipientList m_recipients; // as last read, for the names the list shows
    QTimer m_detailsClock;
    bool m_unreadable = false;
    bool m_saved = false;
};

} // namespace NVL::Engineering::VK
