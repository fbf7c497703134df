#include "NVLStyleHandle.h"
#include "StyleSheetWarnings.h"

#include <QDialog>
#include <QListWidget>
#include <QSignalSpy>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest>

using namespace NVL::Engineering::VK;

namespace {

QPalette lightPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(0xe0, 0xe0, 0xe0));
    p.setColor(QPalette::Base, QColor(0xff, 0xff, 0xff));
    p.setColor(QPalette::AlternateBase, QColor(0xf5, 0xf5, 0xf5));
    p.setColor(QPalette::Mid, QColor(0xa0, 0xa0, 0xa0));
    p.setColor(QPalette::Text, QColor(0x00, 0x00, 0x00));
    p.setColor(QPalette::Dark, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Highlight, QColor(0x00, 0x00, 0xff));
    p.setColor(QPalette::HighlightedText, QColor(0xff, 0xff, 0xff));
    p.setColor(QPalette::Disabled, QPalette::Base, QColor(0xf0, 0xf0, 0xf0));
    return p;
}

QPalette darkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x30, 0x30, 0x30));
    p.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
    p.setColor(QPalette::Mid, QColor(0x60, 0x60, 0x60));
    p.setColor(QPalette::Text, QColor(0xff, 0xff, 0xff));
    p.setColor(QPalette::Dark, QColor(0x10, 0x10, 0x10));
    p.setColor(QPalette::Highlight, QColor(0x80, 0x40, 0x00));
    return p;
}

// The rules of a generated sheet, each without its closing brace and surrounding blanks.
QStringList rulesOf(const QString &sheet)
{
    QStringList rules = sheet.split(QStringLiteral("}\n"), Qt::SkipEmptyParts);
    for (QString &rule : rules) {
        rule = rule.trimmed();
    }
    return rules;
}

const char firstGradient[] = "qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,    stop: 0.0 #f7f7f7,     "
                             "stop: 0.4 #ececec,     stop: 0.5 #ededed,     stop: 1.0 #f7f7f7);";

} // namespace

class TestStyleHandle : public QObject
{
    Q_OBJECT

private slots:
    // Runs first: the window gradient is fixed by the first tabStyleSheet() call of the process.
    void tabStyleSheetKeepsItsFirstGradient()
    {
        NVLStyleHandle::updatePalettes(lightPalette(), false);
        const QStringList first = rulesOf(NVLStyleHandle::tabStyleSheet());
        QCOMPARE(first.size(), 21 + 8);
        QVERIFY(first[0].startsWith(QStringLiteral("QTabWidget::pane {")));
        // Lead = 25 % Window + 75 % Base, G4 = 60 % Window + 40 % Base, G5 = 18 % Mid + 82 % Base.
        for (int rule : {0, 1, 3}) {
            QVERIFY2(first[rule].contains(QLatin1String(firstGradient)), qPrintable(first[rule]));
        }
        QVERIFY(first[0].contains(QLatin1String("border: 1px solid #606060;"))); // 25 % Text + 75 % Dark

        NVLStyleHandle::updatePalettes(darkPalette(), false);
        const QStringList later = rulesOf(NVLStyleHandle::tabStyleSheet());
        QCOMPARE(later.size(), first.size());
        for (int rule : {0, 1, 3}) {
            QVERIFY2(later[rule].contains(QLatin1String(firstGradient)), qPrintable(later[rule]));
        }
        // Everything else follows the new palette: edge 25 % Text + 75 % Dark, lead 25 % Window + 75 % Base,
        // first tab stop 27 % Mid + 73 % Base, the selected tab's top edge the Highlight.
        QVERIFY(later[0].contains(QLatin1String("border: 1px solid #4b4b4b;")));
        QVERIFY(later[2].startsWith(QStringLiteral("QTabBar::tab {")));
        QVERIFY(later[2].contains(QLatin1String("stop: 0.0 #313131,")));
        QVERIFY(later[2].contains(QLatin1String("border-bottom-color: #242424;")));
        QVERIFY(later[4].contains(QLatin1String("border-top-color: #804000;")));
        QVERIFY(later[10].contains(QLatin1String("stop: 0.0 #242424,")));
        QVERIFY(!later[2].contains(QLatin1String("#f7f7f7")));
        // The sheet ends with the selection sheet of the palette of the moment.
        QVERIFY(NVLStyleHandle::tabStyleSheet().endsWith(NVLStyleHandle::selectionStyleSheet()));
        QCOMPARE(later[12], QStringLiteral("QTabBar[maintabs=true]::tab:selected {\n  border-bottom: 2px solid #4a4a4a"));
        QCOMPARE(later[20], QStringLiteral("QSplitter::handle {\n  background: none;"));
    }

    void blendColorsWeighsAndClamps()
    {
        const QColor white(0xff, 0xff, 0xff);
        const QColor black(0x00, 0x00, 0x00);
        QCOMPARE(NVLStyleHandle::blendColors(white, black, 65).name(), QStringLiteral("#a5a5a5"));
        QCOMPARE(NVLStyleHandle::blendColors(white, black, 100), white);
        QCOMPARE(NVLStyleHandle::blendColors(white, black, 0), black);
        QCOMPARE(NVLStyleHandle::blendColors(white, black, 250), white);
        QCOMPARE(NVLStyleHandle::blendColors(white, black, -3), black);
        // Remainders are dropped per channel and the alpha of a mix is always opaque.
        const QColor mixed = NVLStyleHandle::blendColors(QColor(10, 0, 199, 40), QColor(0, 99, 1, 40), 33);
        QCOMPARE(mixed, QColor(3, 66, 66, 255));
    }

    void adaptiveColoursFollowTheBaseLightness()
    {
        NVLStyleHandle::updatePalettes(lightPalette(), false);
        QCOMPARE(NVLStyleHandle::AdaptiveRed, NVLStyleHandle::Red);
        QCOMPARE(NVLStyleHandle::AdaptiveAmber, NVLStyleHandle::Amber);
        QCOMPARE(NVLStyleHandle::AdaptiveGreen, NVLStyleHandle::Green);
        QCOMPARE(NVLStyleHandle::Red.name(), QStringLiteral("#bb253a"));

        NVLStyleHandle::updatePalettes(darkPalette(), false);
        const QColor red = NVLStyleHandle::AdaptiveRed;
        QCOMPARE(red, NVLStyleHandle::Red.lighter(175));
        QCOMPARE(NVLStyleHandle::AdaptiveAmber, NVLStyleHandle::Amber.lighter(175));
        QCOMPARE(NVLStyleHandle::AdaptiveGreen, NVLStyleHandle::Green.lighter(175));
        QVERIFY(red.lightness() > NVLStyleHandle::Red.lightness());

        NVLStyleHandle::updatePalettes(darkPalette(), false);
        QCOMPARE(NVLStyleHandle::AdaptiveRed, red); // not lightened a second time

        NVLStyleHandle::updatePalettes(lightPalette(), false);
        QCOMPARE(NVLStyleHandle::AdaptiveRed, NVLStyleHandle::Red);
    }

    void hexPaletteOnlyInHexMode()
    {
        QSignalSpy hexSpy(&NVLStyleHandle::instance(), &NVLStyleHandle::hexModeChanged);
        NVLStyleHandle::updatePalettes(lightPalette(), false);
        QCOMPARE(NVLStyleHandle::currentPalette(true).color(QPalette::Base).name(), QStringLiteral("#ffffff"));

        NVLStyleHandle::instance().onHexModeChange(true);
        QCOMPARE(hexSpy.count(), 1);
        QCOMPARE(hexSpy.at(0).at(0).toBool(), true);
        const QPalette hex = NVLStyleHandle::currentPalette(true);
        // Complement of pure blue is yellow; 65 % of each base colour, 35 % of yellow.
        QCOMPARE(hex.color(QPalette::Active, QPalette::Base).name(), QStringLiteral("#ffffa5"));
        QCOMPARE(hex.color(QPalette::Inactive, QPalette::Base).name(), QStringLiteral("#ffffa5"));
        QCOMPARE(hex.color(QPalette::Disabled, QPalette::Base).name(), QStringLiteral("#f9f9bf"));
        QCOMPARE(hex.color(QPalette::Active, QPalette::AlternateBase).name(), QStringLiteral("#fafacd"));
        QCOMPARE(hex.color(QPalette::Active, QPalette::Window).name(), QStringLiteral("#eaea91"));
        QCOMPARE(hex.color(QPalette::Text).name(), QStringLiteral("#000000"));
        QCOMPARE(NVLStyleHandle::currentPalette(false).color(QPalette::Base).name(), QStringLiteral("#ffffff"));

        NVLStyleHandle::instance().onHexModeChange(false);
        QCOMPARE(hexSpy.count(), 2);
        QCOMPARE(NVLStyleHandle::currentPalette(true).color(QPalette::Base).name(), QStringLiteral("#ffffff"));
    }

    void paletteChangeSlotAndTint()
    {
        QSignalSpy paletteSpy(&NVLStyleHandle::instance(), &NVLStyleHandle::paletteChanged);
        NVLStyleHandle::instance().onPaletteChange(darkPalette());
        QCOMPARE(paletteSpy.count(), 1);
        QCOMPARE(paletteSpy.at(0).at(0).value<QPalette>().color(QPalette::Base).name(), QStringLiteral("#202020"));
        QCOMPARE(NVLStyleHandle::currentPalette(false).color(QPalette::Base).name(), QStringLiteral("#202020"));
        QCOMPARE(NVLStyleHandle::AdaptiveGreen, NVLStyleHandle::Green.lighter(175));

        // 20 % of Red into every group of the eleven background roles; Text stays.
        NVLStyleHandle::updatePalettes(lightPalette(), true);
        const QPalette tinted = NVLStyleHandle::currentPalette(false);
        QCOMPARE(tinted.color(QPalette::Disabled, QPalette::Base).name(), QStringLiteral("#e5c7cb"));
        QCOMPARE(tinted.color(QPalette::Active, QPalette::Base).name(), QStringLiteral("#f1d3d7"));
        QCOMPARE(tinted.color(QPalette::Inactive, QPalette::Window).name(), QStringLiteral("#d8babe"));
        QCOMPARE(tinted.color(QPalette::Active, QPalette::Highlight).name(), QStringLiteral("#2507d7"));
        QCOMPARE(tinted.color(QPalette::Active, QPalette::Text).name(), QStringLiteral("#000000"));
    }

    void selectionStyleSheetText()
    {
        QPalette p = lightPalette();
        p.setColor(QPalette::Active, QPalette::Highlight, QColor(0x33, 0x66, 0xcc));
        p.setColor(QPalette::Inactive, QPalette::Highlight, QColor(0xc0, 0xc0, 0xc0));
        NVLStyleHandle::updatePalettes(p, false);
        // Inactive selections: 28 % of the inactive highlight, 72 % of the active one.
        const QString i = QStringLiteral("#5a7fc8");
        const QString h = QStringLiteral("#3366cc");
        const QString t = QStringLiteral("#ffffff");
        QString expected;
        expected += QStringLiteral("QWidget:!active {   selection-background-color: %1;   selection-color: %2;            }\n").arg(i, t);
        expected += QStringLiteral("QWidget:active {   selection-background-color: %1;   selection-color: %2;            }\n").arg(h, t);
        for (const char *view : {"QTreeView", "QListView", "QTableView"}) {
            expected += QStringLiteral("%1::item:selected:!active {   background-color: %2;   color: %3;            }\n")
                            .arg(QLatin1String(view), i, t);
            expected += QStringLiteral("%1::item:selected:active {   background-color: %2;   color: %3;            }\n")
                            .arg(QLatin1String(view), h, t);
        }
        QCOMPARE(NVLStyleHandle::selectionStyleSheet(), expected);
    }

    void applyDialogStyleDropsTheHelpButton()
    {
        NVLStyleHandle::updatePalettes(lightPalette(), false);
        QDialog dialog;
        dialog.setWindowFlag(Qt::WindowContextHelpButtonHint, true);
        NVLStyleHandle::applyDialogStyle(&dialog);
        QVERIFY(!dialog.testAttribute(Qt::WA_WState_Created) || dialog.isHidden());
        QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
        QCOMPARE(dialog.styleSheet(), NVLStyleHandle::selectionStyleSheet());
    }

    void styleSheetsParse_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }

    // Qt reports a sheet it cannot parse only as a warning and then ignores the whole sheet.
    void styleSheetsParse()
    {
        QFETCH(bool, dark);
        StyleSheetWarnings warnings;
        NVLStyleHandle::updatePalettes(dark ? darkPalette() : lightPalette(), false);

        QDialog window;
        auto *layout = new QVBoxLayout(&window);
        auto *tabs = new QTabWidget;
        tabs->setProperty("maintabs", true);
        tabs->addTab(new QListWidget, QStringLiteral("List"));
        tabs->addTab(new QTreeWidget, QStringLiteral("Tree"));
        tabs->addTab(new QTableWidget(2, 2), QStringLiteral("Table"));
        tabs->setTabPosition(QTabWidget::South);
        auto *splitter = new QSplitter;
        splitter->addWidget(new QListWidget);
        splitter->addWidget(new QListWidget);
        layout->addWidget(tabs);
        layout->addWidget(splitter);
        window.setStyleSheet(NVLStyleHandle::tabStyleSheet());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.setStyleSheet(NVLStyleHandle::selectionStyleSheet());
        NVLStyleHandle::applyDialogStyle(&window);
        QCoreApplication::processEvents();
        QVERIFY2(warnings.messages().isEmpty(), qPrintable(warnings.messages().join(QLatin1Char('\n'))));

        // The detector itself: a broken sheet is reported.
        window.setStyleSheet(QStringLiteral("QWidget { color: red; }}} {"));
        QCoreApplication::processEvents();
        QVERIFY(!warnings.messages().isEmpty());
    }
};

QTEST_MAIN(TestStyleHandle)
#include "tst_stylehandle.moc"
