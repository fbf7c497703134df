// vk_editor_shots <folder>: shows each editor window with sample data and saves a PNG of it into <folder>.
// The configuration file lives in a temporary data folder, so nothing outside it is read or written.

#include "ApplicationVersion.h"
#include "ConfigurationFile.h"
#include "DisplayScaling.h"
#include "Notification.h"
#include "QMainSubclassForm.h"
#include "Recipients.h"
#include "SMTPSettings.h"
#include "ShotTaker.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

#include <cstdio>
#include <memory>

using namespace NVL::Engineering::VK;

namespace {

RecipientList sampleRecipients()
{
    return {{"{6f1c2a4e-0b7d-4c61-9a53-2e8f10b4d7a1}", "Fleet Office", "fleet@example.org", false},
            {"{1d9e7b30-5c2a-4f88-b1e6-7a0c3d95e412}", "Duty Phone", "5551234567@sms.carrier.example", true},
            {"{a4b2c9d1-3e6f-4a70-8c15-d2e9f0a7b3c6}", "Workshop", "workshop@example.org", false},
            {"{c3e8f1a2-9b4d-4e57-a6c0-1f2d3e4b5a69}", "Alice Martin", "alice.martin@example.org", false}};
}

NotificationList sampleNotifications(const RecipientList &recipients)
{
    NotificationData weekly;
    weekly.alias = "Weekly report";
    weekly.periodicType = PeriodicType::Weekly;
    weekly.dayOfWeek = 1;
    weekly.time = "07:30:00";
    weekly.reportType = ReportKind::SummaryReport;
    weekly.recipientList = {recipients[0].uuid, recipients[2].uuid};

    NotificationData alert;
    alert.alias = "Poor battery alert";
    alert.notificationType = NotificationKind::Triggered;
    alert.triggerValue = 0;
    alert.recipientList = {recipients[1].uuid};
    return {weekly, alert};
}

SmtpSettingsData sampleSmtpSettings()
{
    SmtpSettingsData settings;
    settings.server = "smtp.example.org";
    settings.port = 587;
    settings.security = SecurityType::StartTls;
    settings.authentication = {true, "reports@example.org", "not-a-real-password"};
    settings.sender = {"Fleet Batteries", "reports@example.org"};
    return settings;
}

// Runs `open`, which shows a modal window (a dialog's exec, a message box), and takes its picture from
// inside its event loop; hiding it afterwards ends that loop.
void shootModal(ShotTaker &shots, const QString &name, const std::function<void()> &open)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, &shots, name] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            shots.take(*modal, name);
        }
    });
    poll->start(20);
    open();
}

} // namespace

int main(int argc, char *argv[])
{
    chooseDisplayScaling(); // as Bellwright does
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vk_editor_shots <folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    QTemporaryDir data;
    qputenv("NORVALE_COMMON_APPDATA", data.path().toUtf8());
    const RecipientList recipients = sampleRecipients();
    const NotificationList notifications = sampleNotifications(recipients);
    ConfigurationFile().setRecipients(recipients);
    ConfigurationFile().setNotifications(notifications);

    ShotTaker shots(folder);
    {
        Recipients dialog(ConfigurationFile().recipients());
        auto *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidget"));
        list->setCurrentRow(1); // one recipient selected, so the details show
        shots.take(dialog, QStringLiteral("recipients"));
    }
    {
        Notification dialog(ConfigurationFile().recipients(), QStringLiteral("Notification 3"));
        shots.take(dialog, QStringLiteral("notification-new"));
    }
    {
        Notification dialog(notifications[0], ConfigurationFile().recipients(), QStringLiteral("Notification 3"));
        shots.take(dialog, QStringLiteral("notification-edit-weekly"));
    }
    {
        Notification dialog(notifications[1], ConfigurationFile().recipients(), QStringLiteral("Notification 3"));
        shots.take(dialog, QStringLiteral("notification-edit-triggered"));
    }
    // The questions and warnings a user meets on the way.
    {
        Recipients dialog(ConfigurationFile().recipients());
        dialog.setNotifications(notifications);
        dialog.findChild<QListWidget *>(QStringLiteral("listWidget"))->setCurrentRow(2); // Fleet Office
        dialog.show();
        shootModal(shots, QStringLiteral("remove-recipient"),
                   [&dialog] { dialog.findChild<QPushButton *>(QStringLiteral("removePushButton"))->click(); });
    }
    {
        Notification dialog(ConfigurationFile().recipients(), QStringLiteral("Notification 3"));
        dialog.show();
        shootModal(shots, QStringLiteral("notification-no-recipients"),
                   [&dialog] { dialog.findChild<QPushButton *>(QStringLiteral("okButton"))->click(); });
    }
    {
        SmtpSettingsData unreachable = sampleSmtpSettings();
        unreachable.server = "127.0.0.1";
        unreachable.port = 9; // discard: nothing listens there
        unreachable.security = SecurityType::PlainTcp;
        SMTPSettings dialog(unreachable);
        dialog.show();
        shootModal(shots, QStringLiteral("test-mail-failed"), [&dialog] { dialog.sendTestMail(); });
    }
    ConfigurationFile().setSmtpSettings(sampleSmtpSettings());
    {
        SMTPSettings dialog(ConfigurationFile().smtpSettings());
        shots.take(dialog, QStringLiteral("smtp-settings"));
    }
    {
        auto window = std::make_unique<QMainSubclassForm>(ConfigurationFile::filePath());
        window->setWindowTitle(QStringLiteral("Bellwright v%1").arg(applicationVersion.text()));
        // One notification selected, so the selected lines show too.
        window->findChild<QListWidget *>(QStringLiteral("notificationsListWidget"))->setCurrentRow(1);
        shots.take(*window, QStringLiteral("main-window"));
        shootModal(shots, QStringLiteral("about"), [&window] {
            window->findChild<QAction *>(QStringLiteral("m_AboutBellwrightAction"))->trigger();
        });
        window->saveNotifications(); // a session that saved something ends with a word on it
        shootModal(shots, QStringLiteral("exit-prompt"), [&window] { window.reset(); });
    }
    return shots.failures() == 0 ? 0 : 1;
}
