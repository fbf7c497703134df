#include "Recipients.h"
#include "ui_Recipients.h"

#include "ConfigurationMessages.h"
#include "NVLStyleHandle.h"

#include <FieldRules.h>
#include <RecipientUse.h>

#include <QListWidgetItem>
#include <QMessageBox>
#include <QRegularExpression>
#include <QUuid>

#include <algorithm>

namespace NVL::Engineering::VK {

Recipients::Recipients(const RecipientList &recipients, QWidget *parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::Recipients>())
{
    m_ui->setupUi(this);

    NVLStyleHandle::updatePalettes(palette(), false);
    NVLStyleHandle::applyDialogStyle(this);
    setPalette(NVLStyleHandle::currentPalette(false));

    fillList(recipients);
    m_ui->textMessageCheckBox->setToolTip(
        tr("The address is a mail-to-SMS gateway of a mobile carrier: it gets the short plain-text message "
           "instead of the HTML report."));
    // The addresses are the longest texts here: the details take most of the room, and a larger font
    // widens the dialog until a long gateway address shows whole. The check box keeps its own width,
    // so a click beside its label does not toggle it.
    m_ui->horizontalLayout_4->setStretch(0, 1);
    m_ui->horizontalLayout_4->setStretch(1, 2);
    m_ui->emailLineEdit->setMinimumWidth(
        m_ui->emailLineEdit->fontMetrics().horizontalAdvance(QStringLiteral("5551234567@sms.carrier.example")) + 12);
    m_ui->textMessageCheckBox->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    // The buttons under the list need no more than their words; the style's 80 px each would keep the
    // list column wider than the names in it.
    for (QPushButton *button : {m_ui->addPushButton, m_ui->removePushButton}) {
        button->setMinimumWidth(button->fontMetrics().horizontalAdvance(button->text()) + 24);
    }

    connect(m_ui->addPushButton, &QPushButton::clicked, this, [this] { addRecipient(); });
    connect(m_ui->removePushButton, &QPushButton::clicked, this, [this] { removeRecipients(); });
    connect(m_ui->listWidget, &QListWidget::itemSelectionChanged, this, [this] { selectionChanged(); });
    // The selection model changes the selection before the current item, so the panel is decided again
    // once the current item has followed; otherwise arrow keys would show the previous recipient.
    connect(m_ui->listWidget, &QListWidget::currentItemChanged, this, [this] { selectionChanged(); });
    connect(m_ui->nameLineEdit, &QLineEdit::textEdited, this, [this](const QString &text) { nameEdited(text); });
    connect(m_ui->nameLineEdit, &QLineEdit::editingFinished, this, [this] { nameEditingFinished(); });
    connect(m_ui->emailLineEdit, &QLineEdit::textEdited, this, [this](const QString &text) { emailEdited(text); });
    // clicked, not toggled: filling or blanking the panel must not write into a record.
    connect(m_ui->textMessageCheckBox, &QCheckBox::clicked, this, [this](bool checked) { textMessageClicked(checked); });
    connect(m_ui->okButton, &QPushButton::clicked, this, &Recipients::accept);
    connect(m_ui->cancleButton, &QPushButton::clicked, this, &QDialog::reject);
}

Recipients::~Recipients()
{
    // Destroying a shown dialog moves the focus out of its line edits; their editingFinished must not
    // reach this object once its own members are gone.
    const QList<QWidget *> widgets = findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        widget->disconnect(this);
    }
}

RecipientList Recipients::recipientRecords() const
{
    return m_recipientItems.records();
}

QString Recipients::nextRecipientName() const
{
    static const QRegularExpression numbered(QStringLiteral("^Recipient (\\d+)$"));
    int highest = 0;
    for (const auto &entry : m_recipientItems) {
        const QRegularExpressionMatch match = numbered.match(QString::fromStdString(entry.second.name));
        if (match.hasMatch()) {
            highest = std::max(highest, match.captured(1).toInt()); // too many digits convert to 0
        }
    }
    return QStringLiteral("Recipient %1").arg(highest + 1);
}

void Recipients::fillList(const RecipientList &recipients)
{
    m_ui->listWidget->clear();
    m_recipientItems.clear();
    m_ui->groupBox->setEnabled(false);
    for (const RecipientData &recipient : recipients) {
        auto *item = new QListWidgetItem(QString::fromStdString(recipient.name), m_ui->listWidget);
        m_recipientItems.insert(item, recipient);
    }
    m_ui->listWidget->sortItems(Qt::AscendingOrder);
}

void Recipients::addRecipient()
{
    RecipientData record;
    record.uuid = QUuid::createUuid().toString(QUuid::WithBraces).toLower().toStdString();
    record.name = nextRecipientName().toStdString();

    auto *item = new QListWidgetItem(QString::fromStdString(record.name), m_ui->listWidget);
    m_recipientItems.insert(item, record);

    m_ui->listWidget->clearSelection();
    m_ui->listWidget->setCurrentItem(item);
    m_ui->nameLineEdit->selectAll();
}

void Recipients::removeRecipients()
{
    const QList<QListWidgetItem *> selected = m_ui->listWidget->selectedItems();
    std::set<std::string> uuids;
    QStringList names;
    for (QListWidgetItem *item : selected) {
        if (const RecipientData *record = m_recipientItems.find(item)) {
            uuids.insert(record->uuid);
            names << QString::fromStdString(record->name);
        }
    }
    const QStringList users = RecipientUse::notificationsNaming(m_notifications, uuids);
    if (!users.isEmpty()) {
        const auto quoted = [](const QStringList &texts) {
            return QLatin1Char('"') + texts.join(QStringLiteral("\", \"")) + QLatin1Char('"');
        };
        const QString text = names.size() == 1
            ? tr("Remove %1? It is taken out of the notifications that name it: %2.")
            : tr("Remove %1? They are taken out of the notifications that name them: %2.");
        if (QMessageBox::question(this, tr("Remove Recipient"), text.arg(quoted(names), quoted(users))) != QMessageBox::Yes) {
            return;
        }
        RecipientUse::removeFromNotifications(m_notifications, uuids);
    }
    for (QListWidgetItem *item : selected) {
        m_recipientItems.remove(item);
        delete item;
    }
}

void Recipients::accept()
{
    for (const auto &[item, record] : m_recipientItems) {
        const auto problem = FieldRules::recipientProblem(record);
        if (!problem) {
            continue;
        }
        // The recipient in the details panel, so the user sees which one is meant.
        m_ui->listWidget->clearSelection();
        m_ui->listWidget->setCurrentItem(item);
        showRefusedField(this, tr("Recipients"), *problem);
        (problem->field == FieldRules::Field::RecipientName ? m_ui->nameLineEdit : m_ui->emailLineEdit)->setFocus();
        return;
    }
    QDialog::accept();
}

void Recipients::selectionChanged()
{
    QListWidgetItem *current = m_ui->listWidget->currentItem();
    const RecipientData *record = current ? m_recipientItems.find(current) : nullptr;
    // The details always belong to the one selected recipient, never to an unselected current item.
    if (record && current->isSelected() && m_ui->listWidget->selectedItems().size() == 1) {
        m_ui->groupBox->setEnabled(true);
        m_ui->nameLineEdit->setText(QString::fromStdString(record->name));
        m_ui->emailLineEdit->setText(QString::fromStdString(record->email));
        m_ui->textMessageCheckBox->setChecked(record->textMessage);
        m_ui->nameLineEdit->setFocus();
    } else {
        m_ui->groupBox->setEnabled(false);
        m_ui->nameLineEdit->clear();
        m_ui->emailLineEdit->clear();
        m_ui->textMessageCheckBox->setChecked(false);
    }
}

RecipientData *Recipients::editedRecord()
{
    // A blanked panel belongs to no recipient: leaving its empty name field must rename nobody.
    if (!m_ui->groupBox->isEnabled()) {
        return nullptr;
    }
    QListWidgetItem *current = m_ui->listWidget->currentItem();
    return current ? m_recipientItems.find(current) : nullptr;
}

void Recipients::renameCurrent(const QString &name)
{
    RecipientData *record = editedRecord();
    if (!record) {
        return;
    }
    QListWidgetItem *current = m_ui->listWidget->currentItem();
    record->name = name.toStdString();
    current->setText(name);
    m_ui->listWidget->sortItems(Qt::AscendingOrder);
    m_ui->listWidget->scrollToItem(current);
}

void Recipients::nameEdited(const QString &text)
{
    renameCurrent(text);
}

void Recipients::nameEditingFinished()
{
    if (!m_ui->nameLineEdit->text().isEmpty() || !editedRecord()) {
        return;
    }
    const QString name = nextRecipientName();
    m_ui->nameLineEdit->setText(name);
    renameCurrent(name);
}

void Recipients::emailEdited(const QString &text)
{
    if (RecipientData *record = editedRecord()) {
        record->email = text.toStdString();
    }
}

void Recipients::textMessageClicked(bool checked)
{
    if (RecipientData *record = editedRecord()) {
        record->textMessage = checked;
    }
}

} // namespace NVL::Engineering::VK
