#include "SMTPSettings.h"

#include "ui_SMTPSettings.h"

#include "ConfigurationMessages.h"
#include "NVLStyleHandle.h"

#include <SecurityName.h>
#include <TestMail.h>

#include <QMessageBox>
#include <QPushButton>

namespace NVL::Engineering::VK {

SMTPSettings::SMTPSettings(const SmtpSettingsData &settings, QWidget *parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::SMTPSettings>())
{
    m_ui->setupUi(this);
    // Each label carries the word vkconfig takes and prints for the same stored value.
    const struct {
        SecurityType security;
        QString label;
        QString tip;
    } choices[] = {
        {SecurityType::PlainTcp, tr("No encryption (%1)"), tr("%1: no encryption at all; usually port 25.")},
        {SecurityType::ImplicitTls, tr("SSL/TLS (%1)"), tr("%1: encrypted from the first byte (SMTPS); usually port 465.")},
        {SecurityType::StartTls, tr("STARTTLS (%1)"),
         tr("%1: starts plain and switches to encryption with STARTTLS; usually port 587.")},
    };
    QStringList tips;
    for (const auto &choice : choices) {
        const QString name = SecurityName::of(choice.security);
        m_ui->securityComboBox->addItem(choice.label.arg(name), QVariant::fromValue(choice.security));
        m_ui->securityComboBox->setItemData(m_ui->securityComboBox->count() - 1, choice.tip.arg(name), Qt::ToolTipRole);
        tips << choice.tip.arg(name);
    }
    m_ui->securityComboBox->setToolTip(tips.join(QLatin1Char('\n')));

    NVLStyleHandle::updatePalettes(palette(), false);
    NVLStyleHandle::applyDialogStyle(this);
    setPalette(NVLStyleHandle::currentPalette(false));
    // Room for an ordinary address at any font size: a larger font widens the dialog instead of
    // hiding the start of the text.
    for (QLineEdit *edit : {m_ui->serverLineEdit, m_ui->usernameLineEdit, m_ui->passwordLineEdit, m_ui->nameLineEdit,
                            m_ui->emailLineEdit})
        edit->setMinimumWidth(edit->fontMetrics().averageCharWidth() * 24);

    showSettings(settings);

    connect(m_ui->okButton, &QPushButton::clicked, this, &SMTPSettings::accept);
    connect(m_ui->cancleButton, &QPushButton::clicked, this, &SMTPSettings::reject);
    connect(m_ui->testButton, &QPushButton::clicked, this, &SMTPSettings::sendTestMail);
}

SMTPSettings::~SMTPSettings() = default;

void SMTPSettings::showSettings(const SmtpSettingsData &settings)
{
    // An empty server leaves the field empty so that its placeholder shows.
    if (!settings.server.empty())
        m_ui->serverLineEdit->setText(QString::fromStdString(settings.server));
    m_ui->portSpinBox->setValue(settings.port);
    // A value from a hand-edited file that names no item would read back as -1; the mail client
    // treats unknown values as plain TCP, so that is what the dialog shows.
    const int security = m_ui->securityComboBox->findData(QVariant::fromValue(settings.security));
    m_ui->securityComboBox->setCurrentIndex(security >= 0 ? security : 0);
    m_ui->authenticationGroupBox->setChecked(settings.authentication.enabled);
    m_ui->usernameLineEdit->setText(QString::fromStdString(settings.authentication.username));
    m_ui->passwordLineEdit->setText(QString::fromStdString(settings.authentication.password));
    m_ui->nameLineEdit->setText(QString::fromStdString(settings.sender.name));
    m_ui->emailLineEdit->setText(QString::fromStdString(settings.sender.email));
}

SmtpSettingsData SMTPSettings::smtpSettingsData() const
{
    SmtpSettingsData settings;
    settings.server = m_ui->serverLineEdit->text().toStdString();
    settings.port = m_ui->portSpinBox->value();
    settings.security = m_ui->securityComboBox->currentData().value<SecurityType>();
    settings.authentication.enabled = m_ui->authenticationGroupBox->isChecked();
    settings.authentication.username = m_ui->usernameLineEdit->text().toStdString();
    settings.authentication.password = m_ui->passwordLineEdit->text().toStdString();
    settings.sender.name = m_ui->nameLineEdit->text().toStdString();
    settings.sender.email = m_ui->emailLineEdit->text().toStdString();
    return settings;
}

void SMTPSettings::accept()
{
    // Refused here rather than failing when the file is written, where the change would be lost.
    if (!FieldRules::isStorablePassword(m_ui->passwordLineEdit->text())) {
        QMessageBox::warning(this, tr("SMTP Settings"),
                             tr("The password contains characters outside ASCII, which the configuration "
                                "file cannot store. Please use only ASCII letters, digits and symbols. "
                                "Nothing was saved."));
        m_ui->passwordLineEdit->setFocus();
        return;
    }
    if (const auto problem = FieldRules::smtpSettingsProblem(smtpSettingsData())) {
        showRefusedField(this, tr("SMTP Settings"), *problem);
        fieldWidget(problem->field)->setFocus();
        return;
    }
    QDialog::accept();
}

QLineEdit *SMTPSettings::fieldWidget(FieldRules::Field field) const
{
    switch (field) {
    case FieldRules::Field::SmtpServer: return m_ui->serverLineEdit;
    case FieldRules::Field::SmtpUser: return m_ui->usernameLineEdit;
    case FieldRules::Field::SmtpPassword: return m_ui->passwordLineEdit;
    case FieldRules::Field::SenderName: return m_ui->nameLineEdit;
    default: break;
    }
    return m_ui->emailLineEdit;
}

void SMTPSettings::sendTestMail()
{
    const SmtpSettingsData settings = smtpSettingsData();
    const SmtpSession::Outcome outcome = TestMail::send(settings);
    if (!outcome.succeeded())
        QMessageBox::warning(this, tr("SMTP Test"),
                             tr("Test email failed:\n%1").arg(TestMail::report(settings, outcome).join(QLatin1Char('\n'))));
    else
        QMessageBox::information(this, tr("SMTP Test"),
                                 tr("Test email successfully sent to %1. Check email to confirm.")
                                     .arg(QString::fromStdString(settings.sender.email)));
}

} // namespace NVL::Engineering::VK
