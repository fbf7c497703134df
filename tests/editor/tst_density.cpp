// The dialogs on a screen of 144 dpi (a desktop at 150 %), as Bellwright starts: long addresses show
// whole, the fields grow instead of hiding their text, and the recipient lists keep their bottom edge.
#include "DisplayScaling.h"
#include "Notification.h"
#include "Recipients.h"
#include "SMTPSettings.h"
#include "WidgetInput.h"

#include <QApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

using namespace NVL::Engineering::VK;
using namespace WidgetInput;

namespace {

const QString gatewayAddress = QStringLiteral("5551234567@sms.carrier.example");

// Whether the line edit shows its text without scrolling: the text plus the frame and margins.
bool showsWhole(QLineEdit *edit)
{
    return edit->width() >= edit->fontMetrics().horizontalAdvance(edit->text()) + 8;
}

} // namespace

class TestDensity : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void longAddressesShowWhole()
    {
        Recipients recipients({{"{1}", "Duty Phone", gatewayAddress.toStdString(), true}});
        auto *list = child<QListWidget>(&recipients, "listWidget");
        list->setCurrentRow(0);
        recipients.show();
        QVERIFY(QTest::qWaitForWindowExposed(&recipients));
        QCOMPARE(child<QLineEdit>(&recipients, "emailLineEdit")->text(), gatewayAddress);
        QVERIFY2(showsWhole(child<QLineEdit>(&recipients, "emailLineEdit")), "the gateway address is cut");

        SmtpSettingsData settings;
        settings.server = "smtp.example.org";
        settings.authentication.username = "reports@example.org";
        settings.sender = {"Fleet Batteries", "reports@example.org"};
        SMTPSettings smtp(settings);
        smtp.show();
        QVERIFY(QTest::qWaitForWindowExposed(&smtp));
        for (const char *name : {"serverLineEdit", "usernameLineEdit", "nameLineEdit", "emailLineEdit"})
            QVERIFY2(showsWhole(child<QLineEdit>(&smtp, name)), name);
    }

    void recipientListsKeepTheirBottomEdge()
    {
        Notification dialog({{"{1}", "Fleet Office", "fleet@example.org", false}}, QStringLiteral("N"));
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QImage image = dialog.grab().toImage();
        const qreal ratio = image.devicePixelRatio();
        for (const char *name : {"availableList", "assignedList"}) {
            const QRect list = child<QListWidget>(&dialog, name)->geometry();
            const int x = int(list.center().x() * ratio);
            // The frame is one line all round: the bottom row of the list has the colour of its top row.
            const QRgb top = image.pixel(x, int(list.top() * ratio));
            const QRgb bottom = image.pixel(x, int((list.bottom() + 1) * ratio) - 1);
            QVERIFY2(top == bottom, qPrintable(QStringLiteral("%1: top %2, bottom %3").arg(QLatin1String(name))
                                                   .arg(top, 0, 16).arg(bottom, 0, 16)));
        }
    }
};

int main(int argc, char *argv[])
{
    // A screen of 144 dpi for the offscreen platform, as the desktop reports it at 150 %.
    QTemporaryDir folder;
    const QString screens = folder.filePath(QStringLiteral("screens.json"));
    QFile file(screens);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(R"({"screens": [{"name": "S", "x": 0, "y": 0, "width": 1920, "height": 1440, "logicalDpi": 144,
                          "logicalBaseDpi": 96, "dpr": 1}]})")
               < 0)
        return 1;
    file.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + screens.toUtf8());
    chooseDisplayScaling(); // as Bellwright's main does
    QApplication application(argc, argv);
    TestDensity test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_density.moc"
