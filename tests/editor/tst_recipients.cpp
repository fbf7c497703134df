#include "ConfigurationFile.h"
#include "Recipients.h"
#include "StyleSheetWarnings.h"

#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <set>

using namespace NVL::Engineering::VK;

namespace {

RecipientData recipient(const char *uuid, const char *name, const char *email = "", bool textMessage = false)
{
    return RecipientData{uuid, name, email, textMessage};
}

QStringList texts(const QListWidget *list)
{
    QStringList result;
    for (int row = 0; row < list->count(); ++row) {
        result << list->item(row)->text();
    }
    return result;
}

QListWidgetItem *itemNamed(const QListWidget *list, const QString &text)
{
    const QList<QListWidgetItem *> found = list->findItems(text, Qt::MatchExactly);
    return found.size() == 1 ? found.first() : nullptr;
}

void clickItem(QListWidget *list, QListWidgetItem *item, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    list->scrollToItem(item);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, list->visualItemRect(item).center());
}

// The dialog as the main window runs it, with handles on the widgets a user touches.
struct RecipientsUnderTest {
    std::unique_ptr<Recipients> dialog;
    QListWidget *list = nullptr;
    QPushButton *add = nullptr;
    QPushButton *remove = nullptr;
    QGroupBox *details = nullptr;
    QLineEdit *name = nullptr;
    QLineEdit *email = nullptr;
    QCheckBox *textMessage = nullptr;
    QPushButton *ok = nullptr;
    QPushButton *cancel = nullptr;

    bool open()
    {
        dialog = std::make_unique<Recipients>(ConfigurationFile().recipients());
        list = dialog->findChild<QListWidget *>(QStringLiteral("listWidget"));
        add = dialog->findChild<QPushButton *>(QStringLiteral("addPushButton"));
        remove = dialog->findChild<QPushButton *>(QStringLiteral("removePushButton"));
        details = dialog->findChild<QGroupBox *>(QStringLiteral("groupBox"));
        name = dialog->findChild<QLineEdit *>(QStringLiteral("nameLineEdit"));
        email = dialog->findChild<QLineEdit *>(QStringLiteral("emailLineEdit"));
        textMessage = dialog->findChild<QCheckBox *>(QStringLiteral("textMessageCheckBox"));
        ok = dialog->findChild<QPushButton *>(QStringLiteral("okButton"));
        cancel = dialog->findChild<QPushButton *>(QStringLiteral("cancleButton"));
        if (!list || !add || !remove || !details || !name || !email || !textMessage || !ok || !cancel) {
            return false;
        }
        dialog->show();
        return QTest::qWaitForWindowActive(dialog.get());
    }

    // OK or Cancel by mouse; an accepted dialog's list is written as the main window does.
    bool close(QPushButton *button)
    {
        QTest::mouseClick(button, Qt::LeftButton);
        if (dialog->isVisible()) {
            return false;
        }
        if (dialog->result() == QDialog::Accepted) {
            return ConfigurationFile().setRecipients(dialog->recipientRecords());
        }
        return true;
    }

    RecipientData record(const std::string &uuid) const
    {
        for (const RecipientData &r : dialog->recipientRecords()) {
            if (r.uuid == uuid) {
                return r;
            }
        }
        return RecipientData{"<missing>", "", "", false};
    }
};

} // namespace

class TestRecipients : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<StyleSheetWarnings> m_warnings;

    QByteArray fileBytes() const
    {
        QFile file(ConfigurationFile::filePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }

private slots:
    void init()
    {
        m_temp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_temp->isValid());
        qputenv("NORVALE_COMMON_APPDATA", m_temp->path().toUtf8());
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

    void proposedNames()
    {
        QVERIFY(ConfigurationFile().setRecipients({recipient("{a}", "Recipient 2"), recipient("{b}", "Alice"),
                                                   recipient("{c}", "Recipient 9 "), recipient("{d}", "recipient 8"),
                                                   recipient("{e}", "Recipient 99999999999")}));
        RecipientsUnderTest t;
        QVERIFY(t.open());
        // Sorted plainly: upper case before lower case, the blank-suffixed name after its prefix.
        QCOMPARE(texts(t.list), (QStringList{"Alice", "Recipient 2", "Recipient 9 ", "Recipient 99999999999",
                                             "recipient 8"}));
        QVERIFY(!t.details->isEnabled());
        QCOMPARE(t.dialog->nextRecipientName(), QStringLiteral("Recipient 3"));

        QTest::mouseClick(t.add, Qt::LeftButton);
        QCOMPARE(t.list->count(), 6);
        QCOMPARE(t.list->item(5)->text(), QStringLiteral("Recipient 3")); // appended, not sorted in
        QCOMPARE(t.list->currentItem(), t.list->item(5));
        QCOMPARE(t.list->selectedItems().size(), 1);
        QVERIFY(t.details->isEnabled());
        QCOMPARE(t.name->text(), QStringLiteral("Recipient 3"));
        QCOMPARE(t.name->selectedText(), QStringLiteral("Recipient 3"));
        QCOMPARE(t.email->text(), QString());
        QVERIFY(!t.textMessage->isChecked());
        QTRY_VERIFY(t.name->hasFocus());
        QCOMPARE(t.dialog->nextRecipientName(), QStringLiteral("Recipient 4"));
    }

    void addsGetTheirOwnUuids()
    {
        RecipientsUnderTest t;
        QVERIFY(t.open());
        QTest::mouseClick(t.add, Qt::LeftButton);
        QTest::mouseClick(t.add, Qt::LeftButton);
        const RecipientList records = t.dialog->recipientRecords();
        QCOMPARE(records.size(), std::size_t(2));
        QCOMPARE(records[0].name, std::string("Recipient 1"));
        QCOMPARE(records[1].name, std::string("Recipient 2"));
        const QRegularExpression braced(QStringLiteral(
            "^\\{[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\\}$"));
        for (const RecipientData &r : records) {
            QVERIFY2(braced.match(QString::fromStdString(r.uuid)).hasMatch(), r.uuid.c_str());
            QCOMPARE(r.email, std::string());
            QCOMPARE(r.textMessage, false);
        }
        QVERIFY(records[0].uuid != records[1].uuid);

        // Typing replaces the proposed name of the second; the uuid stays.
        QTest::keyClicks(t.name, QStringLiteral("Bob"));
        QCOMPARE(t.record(records[1].uuid).name, std::string("Bob"));
        QVERIFY(t.close(t.ok));
        const RecipientList written = ConfigurationFile().recipients();
        QCOMPARE(written.size(), std::size_t(2));
        QCOMPARE(written[0], records[0]);
        QCOMPARE(written[1].uuid, records[1].uuid);
        QCOMPARE(written[1].name, std::string("Bob"));
    }

    void typingResortsOnEveryKeystroke()
    {
        RecipientList people;
        for (int i = 0; i < 30; ++i) {
            const std::string n = QStringLiteral("Person %1").arg(i, 2, 10, QLatin1Char('0')).toStdString();
            people.push_back(RecipientData{"{" + n + "}", n, "", false});
        }
        QVERIFY(ConfigurationFile().setRecipients(people));
        RecipientsUnderTest t;
        QVERIFY(t.open());
        QTest::mouseClick(t.add, Qt::LeftButton);
        QListWidgetItem *edited = t.list->currentItem();
        QVERIFY(edited);
        const std::string uuid = t.dialog->recipientRecords().back().uuid;

        const QString typed = QStringLiteral("Person 1z");
        // Where the growing name sorts: "P" .. "Person " first, "Person 1" just before "Person 10",
        // "Person 1z" after "Person 19".
        const int expectedRows[] = {0, 0, 0, 0, 0, 0, 0, 10, 20};
        for (int i = 0; i < typed.size(); ++i) {
            QTest::keyClick(t.name, typed.at(i).toLatin1());
            const QString prefix = typed.left(i + 1);
            QCOMPARE(t.list->currentItem(), edited);
            QCOMPARE(edited->text(), prefix);
            QCOMPARE(t.list->row(edited), expectedRows[i]);
            QCOMPARE(t.record(uuid).name, prefix.toStdString());
            QStringList sorted = texts(t.list);
            std::sort(sorted.begin(), sorted.end());
            QCOMPARE(texts(t.list), sorted);
            QVERIFY2(t.list->viewport()->rect().contains(t.list->visualItemRect(edited)),
                     qPrintable(QStringLiteral("row %1 scrolled out of view").arg(t.list->row(edited))));
            QCOMPARE(t.name->text(), prefix);
            QVERIFY(t.name->hasFocus());
        }
        QCOMPARE(t.list->selectedItems(), QList<QListWidgetItem *>{edited});
    }

    void twoSelectedBlankTheDetails()
    {
        const RecipientList original{recipient("{1}", "Alice", "alice@example.org", true),
                                     recipient("{2}", "Bob", "bob@example.org", false)};
        QVERIFY(ConfigurationFile().setRecipients(original));
        RecipientsUnderTest t;
        QVERIFY(t.open());
        QListWidgetItem *alice = itemNamed(t.list, QStringLiteral("Alice"));
        QListWidgetItem *bob = itemNamed(t.list, QStringLiteral("Bob"));

        clickItem(t.list, alice);
        QVERIFY(t.details->isEnabled());
        QCOMPARE(t.name->text(), QStringLiteral("Alice"));
        QCOMPARE(t.email->text(), QStringLiteral("alice@example.org"));
        QVERIFY(t.textMessage->isChecked());
        QTRY_VERIFY(t.name->hasFocus());

        // Bob first, then Alice: the current item of the pair is Alice, whose flag the blanking unchecks.
        clickItem(t.list, bob);
        clickItem(t.list, alice, Qt::ControlModifier);
        QCOMPARE(t.list->selectedItems().size(), 2);
        QCOMPARE(t.list->currentItem(), alice);
        QVERIFY(!t.details->isEnabled());
        QCOMPARE(t.name->text(), QString());
        QCOMPARE(t.email->text(), QString());
        QVERIFY(!t.textMessage->isChecked());
        QCOMPARE(t.dialog->recipientRecords(), original);

        // Deselecting the current one leaves Bob selected but Alice current: the panel stays blank
        // rather than showing (and editing) a recipient that is not selected.
        clickItem(t.list, alice, Qt::ControlModifier);
        QCOMPARE(t.list->selectedItems(), QList<QListWidgetItem *>{bob});
        QCOMPARE(t.list->currentItem(), alice);
        QVERIFY(!t.details->isEnabled());

        clickItem(t.list, bob);
        QVERIFY(t.details->isEnabled());
        QCOMPARE(t.name->text(), QStringLiteral("Bob"));
        QVERIFY(!t.textMessage->isChecked());
        // Arrow keys move the details along with the current item.
        QTest::keyClick(t.list, Qt::Key_Up);
        QCOMPARE(t.list->currentItem(), alice);
        QCOMPARE(t.name->text(), QStringLiteral("Alice"));
        QVERIFY(t.textMessage->isChecked());

        QCOMPARE(t.dialog->recipientRecords(), original);
        QVERIFY(t.close(t.ok));
        QCOMPARE(ConfigurationFile().recipients(), original);
    }

    void clearedNameGetsTheNextProposedName()
    {
        QVERIFY(ConfigurationFile().setRecipients({recipient("{1}", "Recipient 1"), recipient("{4}", "Recipient 4"),
                                                   recipient("{z}", "Zoe")}));
        RecipientsUnderTest t;
        QVERIFY(t.open());
        QListWidgetItem *first = itemNamed(t.list, QStringLiteral("Recipient 1"));
        clickItem(t.list, first);
        QTRY_VERIFY(t.name->hasFocus());
        QTest::keyClick(t.name, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(t.name, Qt::Key_Backspace);
        QCOMPARE(first->text(), QString());
        QCOMPARE(t.list->row(first), 0);

        QTest::keyClick(t.name, Qt::Key_Tab); // leaving the field finishes the edit
        QCOMPARE(t.name->text(), QStringLiteral("Recipient 5"));
        QCOMPARE(first->text(), QStringLiteral("Recipient 5"));
        QCOMPARE(t.record("{1}").name, std::string("Recipient 5"));
        QCOMPARE(texts(t.list), (QStringList{"Recipient 4", "Recipient 5", "Zoe"}));
        QCOMPARE(t.list->currentItem(), first);

        // A name that is not empty is left as typed, and Return finishes the edit too.
        clickItem(t.list, itemNamed(t.list, QStringLiteral("Zoe")));
        QTest::keyClicks(t.name, QStringLiteral("y"));
        QTest::keyClick(t.name, Qt::Key_Return);
        QCOMPARE(t.record("{z}").name, std::string("Zoey"));
    }

    void addressAndTextMessageEdits()
    {
        QVERIFY(ConfigurationFile().setRecipients({recipient("{1}", "Alice", "old@example.org")}));
        const QByteArray before = fileBytes();
        {
            RecipientsUnderTest t;
            QVERIFY(t.open());
            clickItem(t.list, t.list->item(0));
            QTest::mouseClick(t.email, Qt::LeftButton);
            QTest::keyClick(t.email, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClicks(t.email, QStringLiteral("5551234@sms.example.net"));
            QTest::mouseClick(t.textMessage, Qt::LeftButton);
            QCOMPARE(t.record("{1}"), recipient("{1}", "Alice", "5551234@sms.example.net", true));
            QTest::mouseClick(t.add, Qt::LeftButton);
            // Cancel after edits and an add writes nothing.
            QVERIFY(t.close(t.cancel));
            QCOMPARE(t.dialog->result(), int(QDialog::Rejected));
            QCOMPARE(fileBytes(), before);
        }
        RecipientsUnderTest t;
        QVERIFY(t.open());
        clickItem(t.list, t.list->item(0));
        QTest::mouseClick(t.textMessage, Qt::LeftButton);
        QTest::mouseClick(t.email, Qt::LeftButton);
        QTest::keyClick(t.email, Qt::Key_End);
        QTest::keyClicks(t.email, QStringLiteral(".uk"));
        QVERIFY(t.close(t.ok));
        QCOMPARE(ConfigurationFile().recipients(), RecipientList{recipient("{1}", "Alice", "old@example.org.uk", true)});
    }

    void removingEveryRecipientWritesAnEmptyList()
    {
        QVERIFY(ConfigurationFile().setRecipients({recipient("{1}", "A"), recipient("{2}", "B"), recipient("{3}", "C")}));
        RecipientsUnderTest t;
        QVERIFY(t.open());
        clickItem(t.list, t.list->item(0));
        clickItem(t.list, t.list->item(2), Qt::ShiftModifier);
        QCOMPARE(t.list->selectedItems().size(), 3);
        QTest::mouseClick(t.remove, Qt::LeftButton);
        QCOMPARE(t.list->count(), 0);
        QVERIFY(t.dialog->recipientRecords().empty());
        QVERIFY(!t.details->isEnabled());
        QVERIFY(t.close(t.ok));
        QVERIFY(fileBytes().contains("\"recipients\": [],"));
        QVERIFY(ConfigurationFile().recipients().empty());
    }

    void recordOrderIsStable()
    {
        const RecipientList inFile{recipient("{z}", "Zed"), recipient("{a}", "Alice"), recipient("{m}", "Mike"),
                                   recipient("{b}", "Bert")};
        QVERIFY(ConfigurationFile().setRecipients(inFile));
        const QByteArray before = fileBytes();
        for (int run = 0; run < 3; ++run) {
            RecipientsUnderTest t;
            QVERIFY(t.open());
            QCOMPARE(texts(t.list), (QStringList{"Alice", "Bert", "Mike", "Zed"}));
            QVERIFY(t.close(t.ok));
            QCOMPARE(fileBytes(), before); // accepted without edits: byte for byte the same file
        }

        RecipientsUnderTest t;
        QVERIFY(t.open());
        clickItem(t.list, itemNamed(t.list, QStringLiteral("Alice")));
        QTest::keyClick(t.name, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(t.name, QStringLiteral("Ann"));
        QTest::mouseClick(t.add, Qt::LeftButton);
        clickItem(t.list, itemNamed(t.list, QStringLiteral("Mike")));
        QTest::mouseClick(t.remove, Qt::LeftButton);
        QTest::mouseClick(t.add, Qt::LeftButton);
        QVERIFY(t.close(t.ok));
        const RecipientList written = ConfigurationFile().recipients();
        QCOMPARE(written.size(), std::size_t(5));
        QCOMPARE(written[0], inFile[0]);
        QCOMPARE(written[1], recipient("{a}", "Ann"));
        QCOMPARE(written[2], inFile[3]);
        QCOMPARE(written[3].name, std::string("Recipient 1"));
        QCOMPARE(written[4].name, std::string("Recipient 2"));
    }

    void styledLikeEveryDialog()
    {
        RecipientsUnderTest t;
        QVERIFY(t.open());
        QVERIFY(!t.dialog->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
        QVERIFY(t.dialog->styleSheet().startsWith(QStringLiteral("QWidget:!active {")));
        QCOMPARE(t.dialog->windowTitle(), QStringLiteral("Recipients"));
        QCOMPARE(t.dialog->size(), QSize(480, 353));
        QVERIFY(t.ok->isDefault());
        QCOMPARE(t.list->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(t.details->title(), QStringLiteral("Details"));
        QCOMPARE(t.textMessage->text(), QStringLiteral("Text Message"));
        QVERIFY(t.textMessage->toolTip().contains(QStringLiteral("SMS")));
        QCOMPARE(t.cancel->text(), QStringLiteral("Cancel"));
    }
};

QTEST_MAIN(TestRecipients)
#include "tst_recipients.moc"
