#pragma once

#include <FieldRules.h>
#include <SmtpSettingsData.h>

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class SMTPSettings;
}

class QLineEdit;

namespace NVL::Engineering::VK {

// Edits the mail-server settings. The widgets hold the values; the record is rebuilt from them on
// demand. Test sends a mail to the sender's own address with the values as they stand, saving nothing.
class SMTPSettings : public QDialog
{
    Q_OBJECT

public:
    explicit SMTPSettings(const SmtpSettingsData &settings, QWidget *parent = nullptr);
    ~SMTPSettings() override;

    SmtpSettingsData smtpSettingsData() const;

    // Sends the test mail and tells how it went: the address on success; otherwise the server, the
    // steps tried and the one that failed, with the reason.
    void sendTestMail();

    // Refuses what the configuration file must not hold (FieldRules), naming the field.
    void accept() override;

private:
    void showSettings(const SmtpSettingsData &settings);
    QLineEdit *fieldWidget(FieldRules::Field field) const;

    std::unique_ptr<Ui::SMTPSettings> m_ui;
};

} // namespace NVL::Engineering::VK
