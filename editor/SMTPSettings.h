#pragma once

#include <SmtpSettingsData.h>

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class SMTPSettings;
}

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

    void sendTestMail();

    // The file stores the password XOR-scrambled with an ASCII key; only ASCII stays valid UTF-8 there.
    static bool isStorablePassword(const QString &password);

    // The lines of the failed steps, in the order connect, login, send; empty when the mail went out.
    static QString testMailErrors(const SmtpSettingsData &settings);

    void accept() override;

private:
    void showSettings(const SmtpSettingsData &settings);

    std::unique_ptr<Ui::SMTPSettings> m_ui;
};

} // namespace NVL::Engineering::VK
