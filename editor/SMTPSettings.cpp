#include "SMTPSettings.h"

#include "ui_SMTPSettings.h"

#include "NVLStyleHandle.h"

#include <EmailAddress.h>
#include <MimeHtml.h>
#include <MimeInlineFile.h>
#include <MimeMessage.h>
#include <SmtpClient.h>

#include <QDateTime>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

SMTPSettings::SMTPSettings(const SmtpSettingsData &settings, QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::SMTPSettings>())
{
    ui->setupUi(this);

    NVLStyleHandle::updatePalettes(palette(), false);
    NVLStyleHandle::applyDialogStyle(this);
    setPalette(NVLStyleHandle::currentPalette(false));

    showSettings(settings);

    connect(ui->okButton, &QPushButton::clicked, this, &SMTPSettings::accept);
    connect(ui->cancleButton, &QPushButton::clicked, this, &SMTPSettings::reject);
    connect(ui->testButton, &QPushButton::clicked, this, &SMTPSettings::sendTestMail);
}

SMTPSettings::~SMTPSettings() = default;

void SMTPSettings::showSettings(const SmtpSettingsData &settings)
{
    // An empty server leaves the field empty so that its placeholder shows.
    if (!settings.server.empty())
        ui->serverLineEdit->setText(QString::fromStdString(settings.server));
    ui->portSpinBox->setValue(settings.port);
    // A number from a hand-edited file that names no item would read back as -1; the mail client
    // treats unknown numbers as plain TCP, so that is what the dialog shows.
    const int security = static_cast<int>(settings.security);
    ui->securityComboBox->setCurrentIndex(security >= 0 && security < ui->securityComboBox->count() ? security : 0);
    ui->authenticationGroupBox->setChecked(settings.authentication.enabled);
    ui->usernameLineEdit->setText(QString::fromStdString(settings.authentication.username));
    ui->passwordLineEdit->setText(QString::fromStdString(settings.authentication.password));
    ui->nameLineEdit->setText(QString::fromStdString(settings.sender.name));
    ui->emailLineEdit->setText(QString::fromStdString(settings.sender.email));
}

SmtpSettingsData SMTPSettings::smtpSettingsData() const
{
    SmtpSettingsData settings;
    settings.server = ui->serverLineEdit->text().toStdString();
    settings.port = ui->portSpinBox->value();
    settings.security = static_cast<SecurityType>(ui->securityComboBox->currentIndex());
    settings.authentication.enabled = ui->authenticationGroupBox->isChecked();
    settings.authentication.username = ui->usernameLineEdit->text().toStdString();
    settings.authentication.password = ui->passwordLineEdit->text().toStdString();
    settings.sender.name = ui->nameLineEdit->text().toStdString();
    settings.sender.email = ui->emailLineEdit->text().toStdString();
    return settings;
}

bool SMTPSettings::isStorablePassword(const QString &password)
{
    return std::all_of(password.cbegin(), password.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

void SMTPSettings::accept()
{
    // Refused here rather than failing when the file is written, where the change would be lost.
    if (!isStorablePassword(ui->passwordLineEdit->text())) {
        QMessageBox::warning(this, tr("SMTP Settings"),
                             tr("The password contains characters outside ASCII, which the configuration "
                                "file cannot store. Please use only ASCII letters, digits and symbols. "
                                "Nothing was saved."));
        ui->passwordLineEdit->setFocus();
        return;
    }
    QDialog::accept();
}

QString SMTPSettings::testMailErrors(const SmtpSettingsData &settings)
{
    SmtpClient client(QString::fromStdString(settings.server), settings.port, static_cast<int>(settings.security));
    if (settings.authentication.enabled) {
        client.setMechanism(SmtpClient::Login);
        client.setUser(QString::fromStdString(settings.authentication.username));
        client.setPassword(QString::fromStdString(settings.authentication.password));
    }

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

    // Nothing more goes to a server we could not connect to properly (it may be an impostor after a
    // refused STARTTLS); the steps that could not run still count as failed.
    QString errors;
    const bool connected = client.connectToServer();
    if (!connected)
        errors += tr("Failed to connect to host.\n");
    // Without authentication there is no login step, so it cannot fail.
    if (!connected || (settings.authentication.enabled && !client.login()))
        errors += tr("Failed to login.\n");
    if (!connected || !client.sendMail(message))
        errors += tr("Failed to send mail.\n");
    if (connected)
        client.quit();
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
