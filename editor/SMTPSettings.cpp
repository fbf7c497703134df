#include "SMTPSettings.h"

#include "ui_SMTPSettings.h"

#include "NVLStyleHandle.h"

#include <EmailAddress.h>
#include <MimeHtml.h>
#include <MimeInlineFile.h>
#include <MimeMessage.h>
#include <SmtpSession.h>

#include <QDateTime>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace NVL::Engineering::VK {

SMTPSettings::SMTPSettings(const SmtpSettingsData &settings, QWidget *parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::SMTPSettings>())
{
    m_ui->setupUi(this);
    // The choices in the order of the form's items.
    const SecurityType choices[] = {SecurityType::PlainTcp, SecurityType::ImplicitTls, SecurityType::StartTls};
    for (int i = 0; i < m_ui->securityComboBox->count() && i < int(std::size(choices)); ++i)
        m_ui->securityComboBox->setItemData(i, QVariant::fromValue(choices[i]));

    NVLStyleHandle::updatePalettes(palette(), false);
    NVLStyleHandle::applyDialogStyle(this);
    setPalette(NVLStyleHandle::currentPalette(false));

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

bool SMTPSettings::isStorablePassword(const QString &password)
{
    return std::all_of(password.cbegin(), password.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

void SMTPSettings::accept()
{
    // Refused here rather than failing when the file is written, where the change would be lost.
    if (!isStorablePassword(m_ui->passwordLineEdit->text())) {
        QMessageBox::warning(this, tr("SMTP Settings"),
                             tr("The password contains characters outside ASCII, which the configuration "
                                "file cannot store. Please use only ASCII letters, digits and symbols. "
                                "Nothing was saved."));
        m_ui->passwordLineEdit->setFocus();
        return;
    }
    QDialog::accept();
}

QString SMTPSettings::testMailErrors(const SmtpSettingsData &settings)
{
    // The message only points at these; they outlive it.
    EmailAddress self(QString::fromStdString(settings.sender.email), QString::fromStdString(settings.sender.name));
    MimeHtml html(QStringLiteral("<img src='cid:image1' /><h1>Voltkeep Report: %1</h1>")
                      .arg(QDateTime::currentDateTime().toString(Qt::TextDate))
                  + QStringLiteral("<hr>"));
    MimeInlineFile logo(new QFile(QStringLiteral(":/NVLLogo.png")));
    logo.setContentId(QStringLiteral("image1"));
    logo.setContentType(QStringLiteral("image/png"));

    MimeMessage message(true);
    message.setSender(&self);
    message.addRecipient(&self, MimeMessage::To);
    message.addPart(&html);
    message.addPart(&logo);

    // The steps that could not run after a failed connection still count as failed.
    const SmtpSession::Outcome outcome = SmtpSession::run(settings, {&message});
    QString errors;
    if (!outcome.connected)
        errors += tr("Failed to connect to host.\n");
    if (!outcome.connected || !outcome.loggedIn)
        errors += tr("Failed to login.\n");
    if (!outcome.sent.value(0))
        errors += tr("Failed to send mail.\n");
    return errors;
}

void SMTPSettings::sendTestMail()
{
    const QString errors = testMailErrors(smtpSettingsData());
    if (!errors.isEmpty())
        QMessageBox::warning(this, tr("SMTP Test"), tr("Test email failed:\n%1").arg(errors));
    else
        QMessageBox::information(this, tr("SMTP Test"),
                                 tr("Test email succesfully sent to self. Check email to confirm."));
}

} // namespace NVL::Engineering::VK
