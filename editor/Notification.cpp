#include "Notification.h"
#include "ui_Notification.h"

#include "ConfigurationMessages.h"
#include "NVLStyleHandle.h"

#include <FieldRules.h>

#include <QListWidgetItem>
#include <QMessageBox>
#include <QPushButton>
#include <QTime>

namespace NVL::Engineering::VK {

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
    : QDialog(parent), m_ui(std::make_unique<Ui::Notification>()), m_defaultAlias(defaultAlias)
{
    m_ui->setupUi(this);
    // "Silent" is no health class, but reads as one beside them; the tip says what it means.
    m_ui->healthComboBox->setItemData(m_ui->healthComboBox->count() - 1,
                                      tr("The battery has not reported for [insight] silentDays of the server's vk.cfg "
                                         "(14 days unless set): mailed once per battery per silence"),
                                      Qt::ToolTipRole);
    if (styled) {
        NVLStyleHandle::updatePalettes(palette(), false);
        NVLStyleHandle::applyDialogStyle(this);
        setPalette(NVLStyleHandle::currentPalette(false));
    }

    connect(m_ui->periodicRadioButton, &QRadioButton::toggled, this, &Notification::notificationTypeChanged);
    connect(m_ui->triggeredRadioButton, &QRadioButton::toggled, this, &Notification::notificationTypeChanged);
    connect(m_ui->periodTypeButtonGroup, &QButtonGroup::idToggled, this, &Notification::periodTypeChanged);
    connect(m_ui->assignButton, &QPushButton::clicked, this, &Notification::onAssign);
    connect(m_ui->unassignButton, &QPushButton::clicked, this, &Notification::onUnassign);
    connect(m_ui->aliasLineEdit, &QLineEdit::editingFinished, this, &Notification::onAliasEditFinished);
    connect(m_ui->okButton, &QPushButton::clicked, this, &Notification::accept);
    connect(m_ui->cancleButton, &QPushButton::clicked, this, &QDialog::reject);

    // Height the dialog gains goes to the recipient lists, not to the blank inside the option boxes.
    for (QWidget *box : {static_cast<QWidget *>(m_ui->NotificationType), static_cast<QWidget *>(m_ui->groupBox)}) {
        QSizePolicy policy = box->sizePolicy();
        policy.setVerticalPolicy(QSizePolicy::Maximum);
        box->setSizePolicy(policy);
    }

    m_ui->typeStackedWidget->setCurrentIndex(0);
    m_ui->periodStackedWidget->setCurrentIndex(0);
    m_ui->aliasLineEdit->setText(defaultAlias);
    m_ui->aliasLineEdit->selectAll();
    m_ui->periodTypeButtonGroup->setId(m_ui->dailyRadioButton, 0);
    m_ui->periodTypeButtonGroup->setId(m_ui->weeklyRadioButton, 1);
    m_ui->periodTypeButtonGroup->setId(m_ui->monthlyRadioButton, 2);
    m_ui->periodTypeButtonGroup->setId(m_ui->annuallyRadioButton, 3);
    m_ui->reportTypeButtonGroup->setId(m_ui->fullReportRadioButton, 0);
    m_ui->reportTypeButtonGroup->setId(m_ui->summaryReportRadioButton, 1);
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
    m_ui->availableList->clear();
    m_ui->assignedList->clear();
    for (const RecipientData &recipient : recipients) {
        auto *item = new QListWidgetItem(QString::fromStdString(recipient.name));
        item->setToolTip(QString::fromStdString(recipient.email));
        item->setData(Qt::UserRole, QString::fromStdString(recipient.uuid));
        QListWidget *list = assigned.count(recipient.uuid) ? m_ui->assignedList : m_ui->availableList;
        list->addItem(item);
    }
}

void Notification::showNotification(const NotificationData &notification)
{
    if (!notification.alias.empty()) {
        m_ui->aliasLineEdit->setText(QString::fromStdString(notification.alias));
    }

    if (notification.notificationType != NotificationKind::Periodic) {
        m_ui->triggeredRadioButton->setChecked(true);
        m_ui->typeStackedWidget->setCurrentIndex(1);
        // The list's last item is the kind "battery silent"; the ones before it are the classes.
        const int silentIndex = m_ui->healthComboBox->count() - 1;
        if (notification.triggerType == SilentTrigger)
            m_ui->healthComboBox->setCurrentIndex(silentIndex);
        else if (notification.triggerValue < silentIndex)
            setIndexIfValid(m_ui->healthComboBox, notification.triggerValue);
        return;
    }

    m_ui->periodicRadioButton->setChecked(true);
    m_ui->typeStackedWidget->setCurrentIndex(0);
    switch (notification.periodicType) {
    case PeriodicType::Daily:
        m_ui->dailyRadioButton->setChecked(true);
        m_ui->periodStackedWidget->setCurrentIndex(0);
        setTimeFromText(m_ui->dailyTimeEdit, notification.time);
        break;
    case PeriodicType::Weekly:
        m_ui->weeklyRadioButton->setChecked(true);
        m_ui->periodStackedWidget->setCurrentIndex(1);
        setTimeFromText(m_ui->weeklyTimeEdit, notification.time);
        setIndexIfValid(m_ui->weeklyDayComboBox, notification.dayOfWeek - 1);
        break;
    case PeriodicType::Monthly:
        m_ui->monthlyRadioButton->setChecked(true);
        m_ui->periodStackedWidget->setCurrentIndex(2);
        setTimeFromText(m_ui->monthlyTimeEdit, notification.time);
        m_ui->monthlyDaySpinBox->setValue(notification.day);
        break;
    case PeriodicType::Annually:
        m_ui->annuallyRadioButton->setChecked(true);
        m_ui->periodStackedWidget->setCurrentIndex(3);
        setTimeFromText(m_ui->annualTimeEdit, notification.time);
        m_ui->annualDay->setValue(notification.day);
        m_ui->annualMonth->setValue(notification.month);
        break;
    default:
        break;
    }
    if (notification.reportType != ReportKind::FullReport) {
        m_ui->summaryReportRadioButton->setChecked(true);
    } else {
        m_ui->fullReportRadioButton->setChecked(true);
    }
}

NotificationData Notification::notificationData() const
{
    NotificationData data; // the record defaults: whatever this kind does not use is written as default
    data.alias = m_ui->aliasLineEdit->text().toStdString();

    if (m_ui->periodicRadioButton->isChecked()) {
        data.notificationType = NotificationKind::Periodic;
        const int period = m_ui->periodTypeButtonGroup->checkedId();
        data.periodicType = static_cast<PeriodicType>(period);
        switch (period) {
        case 0:
            data.time = timeText(m_ui->dailyTimeEdit->time()).toStdString();
            break;
        case 1:
            data.time = timeText(m_ui->weeklyTimeEdit->time()).toStdString();
            data.dayOfWeek = m_ui->weeklyDayComboBox->currentIndex() + 1;
            break;
        case 2:
            data.day = m_ui->monthlyDaySpinBox->value();
            data.time = timeText(m_ui->monthlyTimeEdit->time()).toStdString();
            break;
        case 3:
            data.month = m_ui->annualMonth->value();
            data.day = m_ui->annualDay->value();
            data.time = timeText(m_ui->annualTimeEdit->time()).toStdString();
            break;
        default:
            break;
        }
        data.reportType = static_cast<ReportKind>(m_ui->reportTypeButtonGroup->checkedId());
    } else {
        data.notificationType = NotificationKind::Triggered;
        if (m_ui->healthComboBox->currentIndex() == m_ui->healthComboBox->count() - 1)
            data.triggerType = SilentTrigger;
        else
            data.triggerValue = m_ui->healthComboBox->currentIndex();
    }

    for (int row = 0; row < m_ui->assignedList->count(); ++row) {
        data.recipientList.insert(m_ui->assignedList->item(row)->data(Qt::UserRole).toString().toStdString());
    }
    return data;
}

void Notification::accept()
{
    if (const auto problem = FieldRules::notificationProblem(notificationData())) {
        showRefusedField(this, tr("Notification"), *problem);
        m_ui->aliasLineEdit->setFocus();
        return;
    }
    if (m_ui->assignedList->count() == 0) {
        QMessageBox box(QMessageBox::Warning, tr("Notification"),
                        tr("\"%1\" has no recipients, so it will never mail anyone.").arg(m_ui->aliasLineEdit->text()),
                        QMessageBox::NoButton, this);
        QPushButton *save = box.addButton(tr("Save Anyway"), QMessageBox::AcceptRole);
        QPushButton *back = box.addButton(tr("Go Back"), QMessageBox::RejectRole);
        box.setDefaultButton(save);
        box.setEscapeButton(back);
        box.exec();
        if (box.clickedButton() != save) {
            m_ui->availableList->setFocus();
            return;
        }
    }
    QDialog::accept();
}

void Notification::notificationTypeChanged()
{
    if (m_ui->periodicRadioButton->isChecked()) {
        m_ui->typeStackedWidget->setCurrentIndex(0);
    } else if (m_ui->triggeredRadioButton->isChecked()) {
        m_ui->typeStackedWidget->setCurrentIndex(1);
    }
}

void Notification::periodTypeChanged(int id, bool checked)
{
    if (checked) {
        m_ui->periodStackedWidget->setCurrentIndex(id);
    }
}

void Notification::onAssign()
{
    moveSelected(m_ui->availableList, m_ui->assignedList);
}

void Notification::onUnassign()
{
    moveSelected(m_ui->assignedList, m_ui->availableList);
}

void Notification::moveSelected(QListWidget *from, QListWidget *to)
{
    // Row order, not the order of clicking, so several moved recipients keep their relative order.
    for (int row = 0; row < from->count();) {
        if (!from->item(row)->isSelected()) {
            ++row;
            continue;
        }
        to->addItem(from->takeItem(row));
    }
}

void Notification::onAliasEditFinished()
{
    if (m_ui->aliasLineEdit->text().isEmpty()) {
        m_ui->aliasLineEdit->setText(m_defaultAlias);
    }
}

} // namespace NVL::Engineering::VK
