#include "Notification.h"
#include "ui_Notification.h"

#include "NVLStyleHandle.h"

#include <QListWidgetItem>
#include <QTime>

namespace {

// The stored time of day: 24-hour "HH:mm:ss".
QString timeText(const QTime &time)
{
    return time.toString(Qt::TextDate);
}

void setTimeFromText(QTimeEdit *edit, const std::string &text)
{
    const QTime time = QTime::fromString(QString::fromStdString(text), Qt::TextDate);
    if (time.isValid()) {
        edit->setTime(time);
    }
}

// An index read from the file that the list does not have would leave the box blank and be written
// back as -1; such a value leaves the box at its start item instead.
void setIndexIfValid(QComboBox *box, int index)
{
    if (index >= 0 && index < box->count()) {
        box->setCurrentIndex(index);
    }
}

} // namespace

Notification::Notification(bool styled, const QString &defaultAlias, QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::Notification>()), defaultAlias(defaultAlias)
{
    ui->setupUi(this);
    if (styled) {
        NVLStyleHandle::updatePalettes(palette(), false);
        NVLStyleHandle::applyDialogStyle(this);
        setPalette(NVLStyleHandle::currentPalette(false));
    }

    connect(ui->periodicRadioButton, &QRadioButton::toggled, this, &Notification::notificationTypeChanged);
    connect(ui->triggeredRadioButton, &QRadioButton::toggled, this, &Notification::notificationTypeChanged);
    connect(ui->periodTypeButtonGroup, &QButtonGroup::idToggled, this, &Notification::periodTypeChanged);
    connect(ui->assignButton, &QPushButton::clicked, this, &Notification::onAssign);
    connect(ui->unassignButton, &QPushButton::clicked, this, &Notification::onUnassign);
    connect(ui->aliasLineEdit, &QLineEdit::editingFinished, this, &Notification::onAliasEditFinished);
    connect(ui->okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->cancleButton, &QPushButton::clicked, this, &QDialog::reject);

    ui->typeStackedWidget->setCurrentIndex(0);
    ui->periodStackedWidget->setCurrentIndex(0);
    ui->aliasLineEdit->setText(defaultAlias);
    ui->aliasLineEdit->selectAll();
    ui->periodTypeButtonGroup->setId(ui->dailyRadioButton, 0);
    ui->periodTypeButtonGroup->setId(ui->weeklyRadioButton, 1);
    ui->periodTypeButtonGroup->setId(ui->monthlyRadioButton, 2);
    ui->periodTypeButtonGroup->setId(ui->annuallyRadioButton, 3);
    ui->reportTypeButtonGroup->setId(ui->fullReportRadioButton, 0);
    ui->reportTypeButtonGroup->setId(ui->summaryReportRadioButton, 1);
}

Notification::Notification(const RecipientList &recipients, const QString &defaultAlias, QWidget *parent)
    : Notification(true, defaultAlias, parent)
{
    fillRecipients(recipients, {});
}

Notification::Notification(const NotificationData &notification, const RecipientList &recipients,
                           const QString &defaultAlias, QWidget *parent)
    : Notification(false, defaultAlias, parent)
{
    fillRecipients(recipients, notification.recipientList);
    showNotification(notification);
}

Notification::~Notification()
{
    // Destroying a shown dialog moves the focus out of its line edits; their editingFinished must not
    // reach this object once its own members are gone.
    const QList<QWidget *> widgets = findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        widget->disconnect(this);
    }
}

void Notification::fillRecipients(const RecipientList &recipients, const std::set<std::string> &assigned)
{
    ui->availableList->clear();
    ui->assignedList->clear();
    for (const RecipientData &recipient : recipients) {
        auto *item = new QListWidgetItem(QString::fromStdString(recipient.name));
        item->setToolTip(QString::fromStdString(recipient.email));
        item->setData(Qt::UserRole, QString::fromStdString(recipient.uuid));
        QListWidget *list = assigned.count(recipient.uuid) ? ui->assignedList : ui->availableList;
        list->addItem(item);
    }
}

void Notification::showNotification(const NotificationData &notification)
{
    if (!notification.alias.empty()) {
        ui->aliasLineEdit->setText(QString::fromStdString(notification.alias));
    }

    if (notification.notificationType != NotificationKind::Periodic) {
        ui->triggeredRadioButton->setChecked(true);
        ui->typeStackedWidget->setCurrentIndex(1);
        setIndexIfValid(ui->healthComboBox, notification.triggerValue);
        return;
    }

    ui->periodicRadioButton->setChecked(true);
    ui->typeStackedWidget->setCurrentIndex(0);
    switch (notification.periodicType) {
    case PeriodicType::Daily:
        ui->dailyRadioButton->setChecked(true);
        ui->periodStackedWidget->setCurrentIndex(0);
        setTimeFromText(ui->dailyTimeEdit, notification.time);
        break;
    case PeriodicType::Weekly:
        ui->weeklyRadioButton->setChecked(true);
        ui->periodStackedWidget->setCurrentIndex(1);
        setTimeFromText(ui->weeklyTimeEdit, notification.time);
        setIndexIfValid(ui->weeklyDayComboBox, notification.dayOfWeek - 1);
        break;
    case PeriodicType::Monthly:
        ui->monthlyRadioButton->setChecked(true);
        ui->periodStackedWidget->setCurrentIndex(2);
        setTimeFromText(ui->monthlyTimeEdit, notification.time);
        ui->monthlyDaySpinBox->setValue(notification.day);
        break;
    case PeriodicType::Annually:
        ui->annuallyRadioButton->setChecked(true);
        ui->periodStackedWidget->setCurrentIndex(3);
        setTimeFromText(ui->annualTimeEdit, notification.time);
        ui->annualDay->setValue(notification.day);
        ui->annualMonth->setValue(notification.month);
        break;
    default:
        break;
    }
    if (notification.reportType != ReportKind::FullReport) {
        ui->summaryReportRadioButton->setChecked(true);
    } else {
        ui->fullReportRadioButton->setChecked(true);
    }
}

NotificationData Notification::notificationData() const
{
    NotificationData data; // the record defaults: whatever this kind does not use is written as default
    data.alias = ui->aliasLineEdit->text().toStdString();

    if (ui->periodicRadioButton->isChecked()) {
        data.notificationType = NotificationKind::Periodic;
        const int period = ui->periodTypeButtonGroup->checkedId();
        data.periodicType = static_cast<PeriodicType>(period);
        switch (period) {
        case 0:
            data.time = timeText(ui->dailyTimeEdit->time()).toStdString();
            break;
        case 1:
            data.time = timeText(ui->weeklyTimeEdit->time()).toStdString();
            data.dayOfWeek = ui->weeklyDayComboBox->currentIndex() + 1;
            break;
        case 2:
            data.day = ui->monthlyDaySpinBox->value();
            data.time = timeText(ui->monthlyTimeEdit->time()).toStdString();
            break;
        case 3:
            data.month = ui->annualMonth->value();
            data.day = ui->annualDay->value();
            data.time = timeText(ui->annualTimeEdit->time()).toStdString();
            break;
        default:
            break;
        }
        data.reportType = static_cast<ReportKind>(ui->reportTypeButtonGroup->checkedId());
    } else {
        data.notificationType = NotificationKind::Triggered;
        data.triggerValue = ui->healthComboBox->currentIndex();
    }

    for (int row = 0; row < ui->assignedList->count(); ++row) {
        data.recipientList.insert(ui->assignedList->item(row)->data(Qt::UserRole).toString().toStdString());
    }
    return data;
}

void Notification::notificationTypeChanged()
{
    if (ui->periodicRadioButton->isChecked()) {
        ui->typeStackedWidget->setCurrentIndex(0);
    } else if (ui->triggeredRadioButton->isChecked()) {
        ui->typeStackedWidget->setCurrentIndex(1);
    }
}

void Notification::periodTypeChanged(int id, bool checked)
{
    if (checked) {
        ui->periodStackedWidget->setCurrentIndex(id);
    }
}

void Notification::onAssign()
{
    moveSelected(ui->availableList, ui->assignedList);
}

void Notification::onUnassign()
{
    moveSelected(ui->assignedList, ui->availableList);
}

void Notification::moveSelected(QListWidget *from, QListWidget *to)
{
    // Row order, not the order of clicking, so several moved recipients keep their relative order.
    for (int row = 0; row < from->count();) {
        QListWidgetItem *item = from->item(row);
        if (!item->isSelected()) {
            ++row;
            continue;
        }
        to->addItem(item->clone());
        delete item;
    }
}

void Notification::onAliasEditFinished()
{
    if (ui->aliasLineEdit->text().isEmpty()) {
        ui->aliasLineEdit->setText(defaultAlias);
    }
}
