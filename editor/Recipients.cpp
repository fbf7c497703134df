#include "Recipients.h"
#include "ui_Recipients.h"

#include "NVLStyleHandle.h"

#include <QListWidgetItem>
#include <QRegularExpression>
#include <QUuid>

#include <algorithm>

Recipients::Recipients(const RecipientList &recipients, QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::Recipients>())
{
    ui->setupUi(this);

    NVLStyleHandle::updatePalettes(palette(), false);
    NVLStyleHandle::applyDialogStyle(this);
    setPalette(NVLStyleHandle::currentPalette(false));

    fillList(recipients);

    connect(ui->addPushButton, &QPushButton::clicked, this, [this] { addRecipient(); });
    connect(ui->removePushButton, &QPushButton::clicked, this, [this] { removeRecipients(); });
    connect(ui->listWidget, &QListWidget::itemSelectionChanged, this, [this] { selectionChanged(); });
    // The selection model changes the selection before the current item, so the panel is decided again
    // once the current item has followed; otherwise arrow keys would show the previous recipient.
    connect(ui->listWidget, &QListWidget::currentItemChanged, this, [this] { selectionChanged(); });
    connect(ui->nameLineEdit, &QLineEdit::textEdited, this, [this](const QString &text) { nameEdited(text); });
    connect(ui->nameLineEdit, &QLineEdit::editingFinished, this, [this] { nameEditingFinished(); });
    connect(ui->emailLineEdit, &QLineEdit::textEdited, this, [this](const QString &text) { emailEdited(text); });
    // clicked, not toggled: filling or blanking the panel must not write into a record.
    connect(ui->textMessageCheckBox, &QCheckBox::clicked, this, [this](bool checked) { textMessageClicked(checked); });
    connect(ui->okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->cancleButton, &QPushButton::clicked, this, &QDialog::reject);
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
    return recipientItems.records();
}

QString Recipients::nextRecipientName() const
{
    static const QRegularExpression numbered(QStringLiteral("^Recipient (\\d+)$"));
    int highest = 0;
    for (const auto &entry : recipientItems) {
        const QRegularExpressionMatch match = numbered.match(QString::fromStdString(entry.second.name));
        if (match.hasMatch()) {
            highest = std::max(highest, match.captured(1).toInt()); // too many digits convert to 0
        }
    }
    return QStringLiteral("Recipient %1").arg(highest + 1);
}

void Recipients::fillList(const RecipientList &recipients)
{
    ui->listWidget->clear();
    recipientItems.clear();
    ui->groupBox->setEnabled(false);
    for (const RecipientData &recipient : recipients) {
        auto *item = new QListWidgetItem(QString::fromStdString(recipient.name), ui->listWidget);
        recipientItems.insert(item, recipient);
    }
    ui->listWidget->sortItems(Qt::AscendingOrder);
}

void Recipients::addRecipient()
{
    RecipientData record;
    record.uuid = QUuid::createUuid().toString(QUuid::WithBraces).toLower().toStdString();
    record.name = nextRecipientName().toStdString();

    auto *item = new QListWidgetItem(QString::fromStdString(record.name), ui->listWidget);
    recipientItems.insert(item, record);

    ui->listWidget->clearSelection();
    ui->listWidget->setCurrentItem(item);
    ui->nameLineEdit->selectAll();
}

void Recipients::removeRecipients()
{
    const QList<QListWidgetItem *> selected = ui->listWidget->selectedItems();
    for (QListWidgetItem *item : selected) {
        recipientItems.remove(item);
        delete item;
    }
}

void Recipients::selectionChanged()
{
    QListWidgetItem *current = ui->listWidget->currentItem();
    const RecipientData *record = current ? recipientItems.find(current) : nullptr;
    // The details always belong to the one selected recipient, never to an unselected current item.
    if (record && current->isSelected() && ui->listWidget->selectedItems().size() == 1) {
        ui->groupBox->setEnabled(true);
        ui->nameLineEdit->setText(QString::fromStdString(record->name));
        ui->emailLineEdit->setText(QString::fromStdString(record->email));
        ui->textMessageCheckBox->setChecked(record->textMessage);
        ui->nameLineEdit->setFocus();
    } else {
        ui->groupBox->setEnabled(false);
        ui->nameLineEdit->clear();
        ui->emailLineEdit->clear();
        ui->textMessageCheckBox->setChecked(false);
    }
}

RecipientData *Recipients::editedRecord()
{
    // A blanked panel belongs to no recipient: leaving its empty name field must rename nobody.
    if (!ui->groupBox->isEnabled()) {
        return nullptr;
    }
    QListWidgetItem *current = ui->listWidget->currentItem();
    return current ? recipientItems.find(current) : nullptr;
}

void Recipients::renameCurrent(const QString &name)
{
    RecipientData *record = editedRecord();
    if (!record) {
        return;
    }
    QListWidgetItem *current = ui->listWidget->currentItem();
    record->name = name.toStdString();
    current->setText(name);
    ui->listWidget->sortItems(Qt::AscendingOrder);
    ui->listWidget->scrollToItem(current);
}

void Recipients::nameEdited(const QString &text)
{
    renameCurrent(text);
}

void Recipients::nameEditingFinished()
{
    if (!ui->nameLineEdit->text().isEmpty() || !editedRecord()) {
        return;
    }
    const QString name = nextRecipientName();
    ui->nameLineEdit->setText(name);
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
