#include "Recipients.h"
#include "ui_Recipients.h"

#include "NVLStyleHandle.h"

#include <QListWidgetItem>
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
    connect(m_ui->okButton, &QPushButton::clicked, this, &QDialog::accept);
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
    for (QListWidgetItem *item : selected) {
        m_recipientItems.remove(item);
        delete item;
    }
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
