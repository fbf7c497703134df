#include "QMainSubclassForm.h"

#include "ui_QMainForm.h"

#include "ApplicationVersion.h"
#include "ConfigurationMessages.h"
#include "NVLStyleHandle.h"
#include "Notification.h"
#include "NotificationItemDelegate.h"
#include "Recipients.h"
#include "SMTPSettings.h"

#include <ConfigurationFile.h>
#include <RecipientUse.h>
#include <ScheduleText.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDialog>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>
#include <functional>

#include <nlohmann/json.hpp>

namespace NVL::Engineering::VK {

namespace {

// The one error of a write: the serialiser refused the document (text that is not UTF-8).
bool isRefusedDocument(const nlohmann::json::exception &error)
{
    return error.id == 316;
}

} // namespace

QMainSubclassForm::QMainSubclassForm(const QString &configurationFile, QWidget *parent)
    : QMainWindow(parent)
    , m_ui(std::make_unique<Ui::QMainForm>())
    , m_configurationFile(configurationFile)
{
    m_ui->setupUi(this);

    NVLStyleHandle::updatePalettes(palette(), false);
    setStyleSheet(NVLStyleHandle::tabStyleSheet());
    setPalette(NVLStyleHandle::currentPalette(false));

    connect(m_ui->m_FileExitAction, &QAction::triggered, this, &QMainSubclassForm::close);
    connect(m_ui->m_AboutBellwrightAction, &QAction::triggered, this, &QMainSubclassForm::onAboutExampleApp);
    connect(m_ui->SMTPSettingsButton, &QPushButton::clicked, this, &QMainSubclassForm::onSMTPSettings);
    connect(m_ui->recipientButton, &QPushButton::clicked, this, &QMainSubclassForm::onRecipients);
    connect(m_ui->addNotificationButton, &QPushButton::clicked, this, &QMainSubclassForm::onAddNotification);
    connect(m_ui->removeNotificationButton, &QPushButton::clicked, this, &QMainSubclassForm::onRemoveNotification);
    connect(m_ui->notificationsListWidget, &QListWidget::itemDoubleClicked, this,
            &QMainSubclassForm::onEditNotification);
    m_ui->notificationsListWidget->setItemDelegate(new NotificationItemDelegate(m_ui->notificationsListWidget));
    // Room for a notification's lines at any font size: a larger font makes a larger window, not cut lines.
    resize(size().expandedTo(QSize(fontMetrics().averageCharWidth() * 82, fontMetrics().height() * 26)));
    // Next due times pass while the window stays open.
    connect(&m_detailsClock, &QTimer::timeout, this, &QMainSubclassForm::showAllDetails);
    m_detailsClock.start(60 * 1000);

    loadNotifications();
}

QMainSubclassForm::~QMainSubclassForm()
{
    // The server watches the file; a session that changed nothing has nothing to say.
    if (m_saved)
        QMessageBox::information(this, tr("Changes Saved"),
                                 tr("Your changes are saved. The Voltkeep service applies them within a few "
                                    "seconds, without a restart; its log shows when each report is next due."));
}

NotificationList QMainSubclassForm::notificationRecords() const
{
    return m_notificationItems.records();
}

void QMainSubclassForm::loadNotifications()
{
    const ConfigurationFile file(m_configurationFile);
    const NotificationList records = file.notifications();
    try {
        m_recipients = file.recipients();
    } catch (const std::exception &) {
        // The list still shows, with uuids for names; the Recipients button names what is wrong.
        m_recipients.clear();
    }

    m_notificationItems.clear();
    m_ui->notificationsListWidget->clear();
    for (const NotificationData &record : records) {
        auto *item = new QListWidgetItem(QString::fromStdString(record.alias), m_ui->notificationsListWidget);
        m_notificationItems.insert(item, record);
        showDetails(item, record);
    }
    sortList();
}

void QMainSubclassForm::showDetails(QListWidgetItem *item, const NotificationData &record)
{
    const QString due = ScheduleText::nextDue(record, QDateTime::currentDateTime(), QTimeZone::systemTimeZone());
    const QString details = ScheduleText::summary(record, m_recipients) + QStringLiteral("\nnext due: ") + due;
    item->setData(Qt::AccessibleDescriptionRole, details);
    item->setToolTip(details); // whole where the window's width cuts a line
}

void QMainSubclassForm::showAllDetails()
{
    for (const auto &[item, record] : m_notificationItems)
        showDetails(item, record);
}

bool QMainSubclassForm::readSection(const std::function<void(const ConfigurationFile &)> &read)
{
    try {
        read(ConfigurationFile(m_configurationFile));
        return true;
    } catch (const std::exception &error) {
        abandon(error);
        return false;
    }
}

bool QMainSubclassForm::writeSection(const std::function<bool(const ConfigurationFile &)> &write)
{
    try {
        if (write(ConfigurationFile(m_configurationFile))) {
            m_saved = true;
            return true;
        }
    } catch (const nlohmann::json::exception &error) {
        if (!isRefusedDocument(error)) {
            abandon(error);
            return false;
        }
    }
    showUnsavedChange(this, m_configurationFile);
    return false;
}

bool QMainSubclassForm::saveNotifications()
{
    const NotificationList records = notificationRecords();
    if (writeSection([&records](const ConfigurationFile &file) { return file.setNotifications(records); }))
        return true;
    if (m_unreadable)
        return false;

    // The window must not show a change the file does not hold.
    readSection([this](const ConfigurationFile &) { loadNotifications(); });
    return false;
}

QString QMainSubclassForm::nextNotificationName() const
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral("Notification (\\d+)")));
    int highest = 0;
    for (const auto &entry : m_notificationItems) {
        const QRegularExpressionMatch match = pattern.match(QString::fromStdString(entry.second.alias));
        if (match.hasMatch())
            highest = std::max(highest, match.captured(1).toInt()); // too many digits read as 0
    }
    return QStringLiteral("Notification %1").arg(highest + 1);
}

void QMainSubclassForm::sortList()
{
    m_ui->notificationsListWidget->sortItems(Qt::AscendingOrder);
}

void QMainSubclassForm::abandon(const std::exception &error)
{
    showUnreadableConfiguration(this, m_configurationFile, error);
    m_unreadable = true;
    close();
}

void QMainSubclassForm::onAboutExampleApp()
{
    QDialog about;
    auto *layout = new QGridLayout(&about);
    layout->addWidget(new QLabel(QCoreApplication::translate("QMainForm", "Bellwright Version %1")
                                     .arg(applicationVersion.text()),
                                 &about));
    about.exec();
}

void QMainSubclassForm::onSMTPSettings()
{
    SmtpSettingsData settings;
    if (!readSection([&settings](const ConfigurationFile &file) { settings = file.smtpSettings(); }))
        return;

    SMTPSettings dialog(settings, this);
    if (dialog.exec() != QDialog::Accepted)
        return;

    writeSection([&dialog](const ConfigurationFile &file) { return file.setSmtpSettings(dialog.smtpSettingsData()); });
}

void QMainSubclassForm::onRecipients()
{
    RecipientList recipients;
    NotificationList notifications;
    if (!readSection([&](const ConfigurationFile &file) {
            recipients = file.recipients();
            notifications = file.notifications();
        }))
        return;

    Recipients dialog(recipients, this);
    dialog.setNotifications(notifications);
    if (dialog.exec() != QDialog::Accepted)
        return;

    const RecipientList kept = dialog.recipientRecords();
    const std::set<std::string> removed = RecipientUse::removedRecipients(recipients, kept);
    if (RecipientUse::notificationsNaming(notifications, removed).isEmpty()) {
        if (writeSection([&kept](const ConfigurationFile &file) { return file.setRecipients(kept); })) {
            m_recipients = kept;
            showAllDetails();
        }
        return;
    }
    const NotificationList cleaned = dialog.notificationRecords();
    // The list shows the file again, without the removed recipients, which later writes then keep out.
    if (writeSection([&](const ConfigurationFile &file) { return file.setRecipientsAndNotifications(kept, cleaned); }))
        readSection([this](const ConfigurationFile &) { loadNotifications(); });
}

void QMainSubclassForm::onAddNotification()
{
    const QString alias = nextNotificationName();
    RecipientList recipients;
    if (!readSection([&recipients](const ConfigurationFile &file) { recipients = file.recipients(); }))
        return;

    Notification dialog(recipients, alias, this);
    if (dialog.exec() != QDialog::Accepted)
        return;

    const NotificationData record = dialog.notificationData();
    // Not sorted here: the new notification stays at the bottom until the next load or edit.
    auto *item = new QListWidgetItem(QString::fromStdString(record.alias), m_ui->notificationsListWidget);
    m_notificationItems.insert(item, record);
    m_recipients = recipients;
    showAllDetails();
    saveNotifications();
}

void QMainSubclassForm::onEditNotification()
{
    QListWidgetItem *item = m_ui->notificationsListWidget->currentItem();
    const NotificationData *record = m_notificationItems.find(item);
    if (!record)
        return;

    const QString alias = nextNotificationName();
    RecipientList recipients;
    if (!readSection([&recipients](const ConfigurationFile &file) { recipients = file.recipients(); }))
        return;

    Notification dialog(*record, recipients, alias, this);
    if (dialog.exec() != QDialog::Accepted)
        return;

    const NotificationData edited = dialog.notificationData();
    item->setText(QString::fromStdString(edited.alias));
    m_notificationItems.insert(item, edited);
    m_recipients = recipients;
    showAllDetails();
    sortList();
    saveNotifications();
}

void QMainSubclassForm::onRemoveNotification()
{
    const QList<QListWidgetItem *> selected = m_ui->notificationsListWidget->selectedItems();
    QStringList aliases;
    for (const QListWidgetItem *item : selected)
        aliases << QLatin1Char('"') + item->text() + QLatin1Char('"');
    // With nothing selected nothing is asked, and the list is written as it stands, as always.
    const QString question = selected.size() == 1 ? tr("Remove the notification %1?") : tr("Remove the notifications %1?");
    if (!selected.isEmpty()
        && QMessageBox::question(this, tr("Remove Notification"), question.arg(aliases.join(QStringLiteral(", "))))
               != QMessageBox::Yes)
        return;
    for (QListWidgetItem *item : selected) {
        m_notificationItems.remove(item);
        delete item;
    }
    saveNotifications();
}

} // namespace NVL::Engineering::VK
