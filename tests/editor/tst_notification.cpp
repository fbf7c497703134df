#include "ConfigurationFile.h"
#include "ModalDriver.h"
#include "Notification.h"
#include "StyleSheetWarnings.h"

#include <QBoxLayout>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QtTest>

#include <memory>

using namespace NVL::Engineering::VK;

namespace {

const RecipientList people{{"{0a}", "Ann", "ann@example.org", false},
                           {"{0b}", "Bert", "5550001@sms.example.net", true},
                           {"{0c}", "Cleo", "cleo@example.org", false},
                           {"{0d}", "Dan", "dan@example.org", false}};

QStringList texts(const QListWidget *list)
{
    QStringList result;
    for (int row = 0; row < list->count(); ++row) {
        result << list->item(row)->text();
    }
    return result;
}

void clickItem(QListWidget *list, int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, list->visualItemRect(list->item(row)).center());
}

// On the indicator: a radio button in a stretching layout is wider than the part that takes clicks.
void clickRadio(QRadioButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(6, button->height() / 2));
}

// Replaces the whole text of a spin box the way a user does: select all, type.
void typeInto(QAbstractSpinBox *box, const QString &text)
{
    QTest::mouseClick(box, Qt::LeftButton);
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(box, text);
}

// Types over the hours; two digits complete the section and the edit moves on to the minutes
// (the tests fix the C locale: HH:mm:ss).
void typeTime(QTimeEdit *edit, const QString &hours, const QString &minutes)
{
    QTest::mouseClick(edit, Qt::LeftButton);
    QTest::keyClick(edit, Qt::Key_Home);
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, hours);
    QTest::keyClicks(edit, minutes);
}

NotificationData weekly(int dayOfWeek, const char *time)
{
    NotificationData data;
    data.alias = "Weekly report";
    data.periodicType = PeriodicType::Weekly;
    data.dayOfWeek = dayOfWeek;
    data.time = time;
    return data;
}

// The dialog as the main window runs it, with handles on the widgets a user touches.
struct NotificationUnderTest {
    std::unique_ptr<Notification> dialog;

    template <typename T>
    T *w(const char *name) const
    {
        T *found = dialog->findChild<T *>(QLatin1String(name));
        if (!found) {
            qWarning("no widget %s", name);
        }
        return found;
    }

    bool openNew(const QString &alias = QStringLiteral("Notification 4"))
    {
        dialog = std::make_unique<Notification>(ConfigurationFile().recipients(), alias);
        return show();
    }

    bool openEdit(const NotificationData &data, const QString &alias = QStringLiteral("Notification 9"))
    {
        dialog = std::make_unique<Notification>(data, ConfigurationFile().recipients(), alias);
        return show();
    }

    bool show()
    {
        dialog->show();
        return QTest::qWaitForWindowActive(dialog.get());
    }

    // OK by mouse, as the user does it; returns the record the main window would store.
    NotificationData accept()
    {
        const ModalDriver boxes; // a notification without recipients is saved anyway, the box's default
        QTest::mouseClick(w<QPushButton>("okButton"), Qt::LeftButton);
        if (dialog->isVisible() || dialog->result() != QDialog::Accepted) {
            qWarning("the dialog was not accepted");
            NotificationData none;
            none.alias = "<not accepted>";
            return none;
        }
        return dialog->notificationData();
    }
};

} // namespace

class TestNotification : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<StyleSheetWarnings> m_warnings;

private slots:
    void initTestCase()
    {
        // Time edits show the locale's short format; typing below assumes the 24-hour C one.
        QLocale::setDefault(QLocale::c());
    }

    void init()
    {
        m_temp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_temp->isValid());
        qputenv("NORVALE_COMMON_APPDATA", m_temp->path().toUtf8());
        QVERIFY(ConfigurationFile().setRecipients(people));
        m_warnings = std::make_unique<StyleSheetWarnings>();
    }

    void cleanup()
    {
        const QStringList messages = m_warnings->messages();
        m_warnings.reset();
        qunsetenv("NORVALE_COMMON_APPDATA");
        m_temp.reset();
        QVERIFY2(messages.isEmpty(), qPrintable(messages.join(QLatin1Char('\n'))));
    }

    void newNotificationAcceptedUnchanged()
    {
        NotificationUnderTest t;
        QVERIFY(t.openNew());
        QCOMPARE(texts(t.w<QListWidget>("availableList")), (QStringList{"Ann", "Bert", "Cleo", "Dan"}));
        QCOMPARE(t.w<QListWidget>("assignedList")->count(), 0);
        QListWidgetItem *bert = t.w<QListWidget>("availableList")->item(1);
        QCOMPARE(bert->toolTip(), QStringLiteral("5550001@sms.example.net"));
        QCOMPARE(bert->data(Qt::UserRole).toString(), QStringLiteral("{0b}"));
        QCOMPARE(t.w<QLineEdit>("aliasLineEdit")->selectedText(), QStringLiteral("Notification 4"));

        NotificationData expected;
        expected.alias = "Notification 4";
        expected.notificationType = NotificationKind::Periodic;
        expected.periodicType = PeriodicType::Daily;
        expected.time = "00:00:00";
        expected.reportType = ReportKind::FullReport;
        expected.triggerType = 2;
        const NotificationData accepted = t.accept();
        QCOMPARE(accepted, expected);

        // Through the file as the main window writes it.
        QVERIFY(ConfigurationFile().setNotifications({accepted}));
        QCOMPARE(ConfigurationFile().notifications(), NotificationList{expected});
    }

    void weeklyDayNumbers()
    {
        NotificationUnderTest t;
        QVERIFY(t.openNew());
        clickRadio(t.w<QRadioButton>("weeklyRadioButton"));
        QCOMPARE(t.w<QStackedWidget>("periodStackedWidget")->currentIndex(), 1);
        auto *day = t.w<QComboBox>("weeklyDayComboBox");
        day->setFocus();
        QTest::keyClick(day, Qt::Key_End);
        QCOMPARE(day->currentText(), QStringLiteral("Sun"));
        typeTime(t.w<QTimeEdit>("weeklyTimeEdit"), QStringLiteral("07"), QStringLiteral("30"));
        clickRadio(t.w<QRadioButton>("summaryReportRadioButton"));
        NotificationData accepted = t.accept();
        QCOMPARE(accepted.periodicType, PeriodicType::Weekly);
        QCOMPARE(accepted.dayOfWeek, 7);
        QCOMPARE(QString::fromStdString(accepted.time), QStringLiteral("07:30:00"));
        QCOMPARE(accepted.reportType, ReportKind::SummaryReport);
        QCOMPARE(accepted.day, 1);
        QCOMPARE(accepted.month, 1);

        for (const auto &[stored, shown, written] :
             {std::tuple{1, "Mon", 1}, std::tuple{7, "Sun", 7}, std::tuple{9, "Mon", 1}, std::tuple{0, "Mon", 1}}) {
            NotificationUnderTest e;
            QVERIFY(e.openEdit(weekly(stored, "18:05:09")));
            QVERIFY(e.w<QRadioButton>("weeklyRadioButton")->isChecked());
            QCOMPARE(e.w<QStackedWidget>("periodStackedWidget")->currentIndex(), 1);
            QCOMPARE(e.w<QComboBox>("weeklyDayComboBox")->currentText(), QLatin1String(shown));
            QCOMPARE(e.w<QTimeEdit>("weeklyTimeEdit")->time(), QTime(18, 5, 9));
            accepted = e.accept();
            QCOMPARE(accepted.dayOfWeek, written);
            QCOMPARE(accepted.time, std::string("18:05:09"));
        }
    }

    void annuallyKeepsADayBeyondTheMonth()
    {
        NotificationUnderTest t;
        QVERIFY(t.openNew());
        clickRadio(t.w<QRadioButton>("annuallyRadioButton"));
        QCOMPARE(t.w<QStackedWidget>("periodStackedWidget")->currentIndex(), 3);
        typeInto(t.w<QSpinBox>("annualMonth"), QStringLiteral("2"));
        typeInto(t.w<QSpinBox>("annualDay"), QStringLiteral("31"));
        typeTime(t.w<QTimeEdit>("annualTimeEdit"), QStringLiteral("23"), QStringLiteral("59"));
        NotificationData accepted = t.accept();
        QCOMPARE(accepted.periodicType, PeriodicType::Annually);
        QCOMPARE(accepted.month, 2);
        QCOMPARE(accepted.day, 31);
        QCOMPARE(QString::fromStdString(accepted.time), QStringLiteral("23:59:00"));
        QCOMPARE(accepted.dayOfWeek, 1);

        // The ranges refuse what no month or day has.
        NotificationUnderTest e;
        QVERIFY(e.openEdit(accepted));
        QVERIFY(e.w<QRadioButton>("annuallyRadioButton")->isChecked());
        QCOMPARE(e.w<QStackedWidget>("periodStackedWidget")->currentIndex(), 3);
        QCOMPARE(e.w<QSpinBox>("annualMonth")->value(), 2);
        QCOMPARE(e.w<QSpinBox>("annualDay")->value(), 31);
        typeInto(e.w<QSpinBox>("annualMonth"), QStringLiteral("13"));
        typeInto(e.w<QSpinBox>("annualDay"), QStringLiteral("45"));
        accepted = e.accept();
        QCOMPARE(accepted.month, 1);
        QCOMPARE(accepted.day, 4);

        NotificationUnderTest m;
        QVERIFY(m.openNew());
        clickRadio(m.w<QRadioButton>("monthlyRadioButton"));
        QCOMPARE(m.w<QStackedWidget>("periodStackedWidget")->currentIndex(), 2);
        typeInto(m.w<QSpinBox>("monthlyDaySpinBox"), QStringLiteral("31"));
        accepted = m.accept();
        QCOMPARE(accepted.periodicType, PeriodicType::Monthly);
        QCOMPARE(accepted.day, 31);
        QCOMPARE(accepted.month, 1);
        QCOMPARE(accepted.time, std::string("00:00:00"));
    }

    void triggeredHealthClass()
    {
        NotificationData stored = weekly(5, "08:00:00");
        stored.notificationType = NotificationKind::Triggered;
        stored.triggerValue = 1;
        stored.reportType = ReportKind::SummaryReport;
        NotificationUnderTest t;
        QVERIFY(t.openEdit(stored));
        QVERIFY(t.w<QRadioButton>("triggeredRadioButton")->isChecked());
        QCOMPARE(t.w<QStackedWidget>("typeStackedWidget")->currentIndex(), 1);
        auto *health = t.w<QComboBox>("healthComboBox");
        QCOMPARE(health->currentText(), QStringLiteral("Fair"));
        // The periodic widgets keep their start values.
        QVERIFY(t.w<QRadioButton>("dailyRadioButton")->isChecked());
        QVERIFY(t.w<QRadioButton>("fullReportRadioButton")->isChecked());

        health->setFocus();
        QTest::keyClick(health, Qt::Key_Down);
        QCOMPARE(health->currentText(), QStringLiteral("Good"));
        NotificationData expected;
        expected.alias = "Weekly report";
        expected.notificationType = NotificationKind::Triggered;
        expected.triggerValue = 2;
        QCOMPARE(t.accept(), expected); // periodicType 2, empty time, day/month/dayOfWeek 1, reportType 0

        // Switching the kind by mouse switches the page both ways.
        NotificationUnderTest n;
        QVERIFY(n.openNew());
        clickRadio(n.w<QRadioButton>("triggeredRadioButton"));
        QCOMPARE(n.w<QStackedWidget>("typeStackedWidget")->currentIndex(), 1);
        QCOMPARE(n.w<QComboBox>("healthComboBox")->currentText(), QStringLiteral("Poor"));
        clickRadio(n.w<QRadioButton>("periodicRadioButton"));
        QCOMPARE(n.w<QStackedWidget>("typeStackedWidget")->currentIndex(), 0);

        // A class the list does not have leaves the first one rather than writing -1.
        stored.triggerValue = 3;
        NotificationUnderTest x;
        QVERIFY(x.openEdit(stored));
        QCOMPARE(x.w<QComboBox>("healthComboBox")->currentText(), QStringLiteral("Poor"));
        QCOMPARE(x.accept().triggerValue, 0);

        // The list's last item is the kind "battery silent", both ways.
        stored.triggerType = SilentTrigger;
        NotificationUnderTest s;
        QVERIFY(s.openEdit(stored));
        QCOMPARE(s.w<QComboBox>("healthComboBox")->currentText(), QStringLiteral("Silent"));
        QCOMPARE(s.accept().triggerType, SilentTrigger);
    }

    void staleRecipientDroppedOnAccept()
    {
        NotificationData stored = weekly(2, "09:00:00");
        stored.recipientList = {"{0c}", "{0a}", "{gone}"};
        NotificationUnderTest t;
        QVERIFY(t.openEdit(stored));
        // In the order of the recipients, not of the set.
        QCOMPARE(texts(t.w<QListWidget>("assignedList")), (QStringList{"Ann", "Cleo"}));
        QCOMPARE(texts(t.w<QListWidget>("availableList")), (QStringList{"Bert", "Dan"}));
        const NotificationData accepted = t.accept();
        QCOMPARE(accepted.recipientList, (std::set<std::string>{"{0a}", "{0c}"}));
        QVERIFY(ConfigurationFile().setNotifications({accepted}));
        QCOMPARE(ConfigurationFile().notifications().at(0).recipientList, accepted.recipientList);
    }

    void assignAllThenUnassignOne()
    {
        NotificationUnderTest t;
        QVERIFY(t.openNew());
        auto *available = t.w<QListWidget>("availableList");
        auto *assigned = t.w<QListWidget>("assignedList");
        clickItem(available, 0);
        clickItem(available, 3, Qt::ShiftModifier);
        QTest::mouseClick(t.w<QPushButton>("assignButton"), Qt::LeftButton);
        QCOMPARE(available->count(), 0);
        QCOMPARE(texts(assigned), (QStringList{"Ann", "Bert", "Cleo", "Dan"}));

        clickItem(assigned, 1);
        QTest::mouseClick(t.w<QPushButton>("unassignButton"), Qt::LeftButton);
        QCOMPARE(texts(assigned), (QStringList{"Ann", "Cleo", "Dan"}));
        QCOMPARE(texts(available), QStringList{"Bert"});
        clickItem(assigned, 0);
        QTest::mouseClick(t.w<QPushButton>("unassignButton"), Qt::LeftButton);
        // Moved back to the end, not sorted back into place; tool tip and uuid travel along.
        QCOMPARE(texts(available), (QStringList{"Bert", "Ann"}));
        QCOMPARE(available->item(1)->toolTip(), QStringLiteral("ann@example.org"));
        QCOMPARE(available->item(1)->data(Qt::UserRole).toString(), QStringLiteral("{0a}"));
        QCOMPARE(t.accept().recipientList, (std::set<std::string>{"{0c}", "{0d}"}));
    }

    void clearedAliasKeepsTheProposedOne()
    {
        NotificationUnderTest t;
        QVERIFY(t.openNew(QStringLiteral("Notification 3")));
        auto *alias = t.w<QLineEdit>("aliasLineEdit");
        QTest::mouseClick(alias, Qt::LeftButton);
        QTest::keyClick(alias, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(alias, Qt::Key_Backspace);
        QCOMPARE(alias->text(), QString());
        // The click on OK takes the focus first, which finishes the edit.
        QCOMPARE(t.accept().alias, std::string("Notification 3"));

        NotificationUnderTest typed;
        QVERIFY(typed.openNew(QStringLiteral("Notification 3")));
        QTest::keyClicks(typed.w<QLineEdit>("aliasLineEdit"), QStringLiteral("Night shift"));
        QCOMPARE(typed.accept().alias, std::string("Night shift"));

        // Editing a record without alias shows the proposed one; a record's own alias wins over it.
        NotificationData unnamed = weekly(3, "10:00:00");
        unnamed.alias.clear();
        NotificationUnderTest e;
        QVERIFY(e.openEdit(unnamed, QStringLiteral("Notification 12")));
        QCOMPARE(e.w<QLineEdit>("aliasLineEdit")->text(), QStringLiteral("Notification 12"));
        NotificationUnderTest f;
        QVERIFY(f.openEdit(weekly(3, "10:00:00"), QStringLiteral("Notification 12")));
        QCOMPARE(f.w<QLineEdit>("aliasLineEdit")->text(), QStringLiteral("Weekly report"));
    }

    void weeklyToDailyWritesDefaults()
    {
        NotificationData stored = weekly(5, "06:15:00");
        stored.reportType = ReportKind::SummaryReport;
        stored.day = 20;
        stored.month = 8;
        NotificationUnderTest t;
        QVERIFY(t.openEdit(stored));
        QVERIFY(t.w<QRadioButton>("summaryReportRadioButton")->isChecked());
        clickRadio(t.w<QRadioButton>("dailyRadioButton"));
        QCOMPARE(t.w<QStackedWidget>("periodStackedWidget")->currentIndex(), 0);
        const NotificationData accepted = t.accept();
        QCOMPARE(accepted.periodicType, PeriodicType::Daily);
        QCOMPARE(accepted.dayOfWeek, 1);
        QCOMPARE(accepted.day, 1);
        QCOMPARE(accepted.month, 1);
        QCOMPARE(accepted.time, std::string("00:00:00")); // the daily page's own time edit
        QCOMPARE(accepted.reportType, ReportKind::SummaryReport);
    }

    void editAcceptedUnchangedRoundTrips()
    {
        NotificationData monthly;
        monthly.alias = "Month end";
        monthly.periodicType = PeriodicType::Monthly;
        monthly.day = 31;
        monthly.time = "23:59:59";
        monthly.recipientList = {"{0b}"};
        NotificationData daily;
        daily.alias = "Daily";
        daily.periodicType = PeriodicType::Daily;
        daily.time = "05:00:00";
        NotificationData badTime = daily;
        badTime.time = "7:30 pm";
        QVERIFY(ConfigurationFile().setNotifications({monthly, daily, weekly(4, "12:00:00")}));
        const NotificationList inFile = ConfigurationFile().notifications();

        NotificationList written;
        for (const NotificationData &data : inFile) {
            NotificationUnderTest t;
            QVERIFY(t.openEdit(data));
            written.push_back(t.accept());
        }
        QCOMPARE(written, inFile);

        // A time that does not read leaves the edit at its start.
        NotificationUnderTest t;
        QVERIFY(t.openEdit(badTime));
        QCOMPARE(t.w<QTimeEdit>("dailyTimeEdit")->time(), QTime(0, 0));
        QCOMPARE(t.accept().time, std::string("00:00:00"));
    }

    void onlyTheNewDialogIsStyled()
    {
        NotificationUnderTest n;
        QVERIFY(n.openNew());
        QVERIFY(n.dialog->styleSheet().startsWith(QStringLiteral("QWidget:!active {")));
        QVERIFY(!n.dialog->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
        NotificationUnderTest e;
        QVERIFY(e.openEdit(weekly(1, "00:00:00")));
        QCOMPARE(e.dialog->styleSheet(), QString());
        QCOMPARE(e.dialog->windowFlags(), QDialog().windowFlags()); // the platform's own title bar buttons
    }

    void withoutRecipientsAsksBeforeSaving()
    {
        NotificationUnderTest t;
        QVERIFY(t.openNew());
        ModalDriver driver;
        driver.answerNextBox(QStringLiteral("Go Back"));
        QTest::mouseClick(t.w<QPushButton>("okButton"), Qt::LeftButton);
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes.at(0).text, QStringLiteral("\"Notification 4\" has no recipients, so it will never mail anyone."));
        QVERIFY(t.dialog->isVisible());
        QTest::mouseClick(t.w<QPushButton>("okButton"), Qt::LeftButton); // "Save Anyway", the default
        QCOMPARE(driver.boxes.size(), 2);
        QCOMPARE(t.dialog->result(), int(QDialog::Accepted));
    }

    void form()
    {
        // The form's size before the layout may enlarge it for the fonts at hand.
        QCOMPARE(Notification(RecipientList{}, QString()).size(), QSize(432, 391));
        NotificationUnderTest t;
        QVERIFY(t.openNew());
        QCOMPARE(t.dialog->windowTitle(), QStringLiteral("Notification"));
        QStringList rows;
        QLayout *main = t.dialog->layout();
        QCOMPARE(main->objectName(), QStringLiteral("verticalLayout_11"));
        for (int i = 0; i < main->count(); ++i) {
            QLayoutItem *item = main->itemAt(i);
            rows << (item->layout() ? item->layout()->objectName() : item->widget()->objectName());
        }
        QCOMPARE(rows, (QStringList{"horizontalLayout_13", "NotificationType", "groupBox", "horizontalLayout",
                                    "horizontalLayout_12"}));
        QCOMPARE(t.w<QLabel>("aliasLabel")->text(), QStringLiteral("Notification Alias:"));
        QCOMPARE(t.w<QRadioButton>("monthlyRadioButton")->text(), QStringLiteral("Monthly"));
        QCOMPARE(t.w<QLabel>("triggeredDescriptionLabel")->text(),
                 QStringLiteral("Send Notification When Health Becomes : "));
        QCOMPARE(t.w<QPushButton>("assignButton")->text(), QStringLiteral("-->"));
        QCOMPARE(t.w<QPushButton>("unassignButton")->text(), QStringLiteral("<--"));
        const QString tip = QStringLiteral("If greater than days in month, last day of month is used.");
        for (const char *name : {"monthlyDaySpinBox", "annualDay"}) {
            QCOMPARE(t.w<QSpinBox>(name)->toolTip(), tip);
            QCOMPARE(t.w<QSpinBox>(name)->minimum(), 1);
            QCOMPARE(t.w<QSpinBox>(name)->maximum(), 31);
        }
        QCOMPARE(t.w<QSpinBox>("annualMonth")->maximum(), 12);
        QCOMPARE(t.w<QSpinBox>("annualMonth")->toolTip(), QString());
        QStringList days;
        for (int i = 0; i < t.w<QComboBox>("weeklyDayComboBox")->count(); ++i) {
            days << t.w<QComboBox>("weeklyDayComboBox")->itemText(i);
        }
        QCOMPARE(days, (QStringList{"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"}));
        auto *periods = t.w<QButtonGroup>("periodTypeButtonGroup");
        QCOMPARE(periods->id(t.w<QRadioButton>("annuallyRadioButton")), 3);
        QVERIFY(periods->exclusive());
        QCOMPARE(t.w<QButtonGroup>("reportTypeButtonGroup")->id(t.w<QRadioButton>("summaryReportRadioButton")), 1);
        QCOMPARE(t.w<QListWidget>("availableList")->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(t.w<QListWidget>("assignedList")->selectionMode(), QAbstractItemView::ExtendedSelection);
    }
};

QTEST_MAIN(TestNotification)
#include "tst_notification.moc"
