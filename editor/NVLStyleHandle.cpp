#include "NVLStyleHandle.h"

#include <QDialog>
#include <QStringList>

namespace NVL::Engineering::VK {

namespace {

// Constructed during static initialisation so the instance exists before main() runs.
NVLStyleHandle &theInstance = NVLStyleHandle::instance();

// Style sheets take colours as #rrggbb in lower case, which is what QColor::name() gives.
QString hex(const QColor &colour)
{
    return colour.name(QColor::HexRgb);
}

// One declaration piece: two blanks, the declaration and its semicolon.
QString declaration(const QString &text)
{
    return QStringLiteral("  ") + text + QLatin1Char(';');
}

// A rule from ready-made pieces (declarations or gradients), one piece a line.
QString rule(const QString &selector, const QStringList &pieces)
{
    return selector + QStringLiteral(" {\n") + pieces.join(QLatin1Char('\n')) + QStringLiteral("\n}\n");
}

QString gradient(const QColor &s0, const QColor &s4, const QColor &s5, const QColor &s10)
{
    return QStringLiteral("  background: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,")
           + QStringLiteral("    stop: 0.0 %1, ").arg(hex(s0))
           + QStringLiteral("    stop: 0.4 %1, ").arg(hex(s4))
           + QStringLiteral("    stop: 0.5 %1, ").arg(hex(s5))
           + QStringLiteral("    stop: 1.0 %1);").arg(hex(s10));
}

QString selectionRule(const QString &selector, const QString &background, const QString &foreground,
                      const QColor &first, const QColor &second)
{
    return selector + background.arg(hex(first)) + foreground.arg(hex(second)) + QStringLiteral("}\n");
}

} // namespace

NVLStyleHandle &NVLStyleHandle::instance()
{
    static NVLStyleHandle handle;
    return handle;
}

QColor NVLStyleHandle::blendColors(const QColor &a, const QColor &b, int percent)
{
    if (percent >= 100) {
        return a;
    }
    if (percent <= 0) {
        return b;
    }
    const int other = 100 - percent;
    return QColor((a.red() * percent + b.red() * other) / 100,
                  (a.green() * percent + b.green() * other) / 100,
                  (a.blue() * percent + b.blue() * other) / 100, 255);
}

void NVLStyleHandle::updatePalettes(const QPalette &base, bool tint)
{
    normalPalette = base;

    // Always derived from the constants, so repeated calls never lighten twice.
    if (normalPalette.color(QPalette::Base).lightness() < 120) {
        AdaptiveRed = Red.lighter(175);
        AdaptiveAmber = Amber.lighter(175);
        AdaptiveGreen = Green.lighter(175);
    } else {
        AdaptiveRed = Red;
        AdaptiveAmber = Amber;
        AdaptiveGreen = Green;
    }

    if (tint) {
        tintPalette(normalPalette, Red, 20);
    }

    const QColor highlight = normalPalette.color(QPalette::Highlight);
    const int hue = highlight.hsvHue();
    const QColor complement = QColor::fromHsv((hue + 180) % 360, highlight.hsvSaturation(), highlight.value(), 255);

    hexPalette = normalPalette;
    const auto setSolid = [](QPalette &palette, QPalette::ColorGroup group, QPalette::ColorRole role,
                             const QColor &colour) { palette.setBrush(group, role, QBrush(colour, Qt::SolidPattern)); };

    const QColor base65 = blendColors(normalPalette.color(QPalette::Base), complement, 65);
    setSolid(hexPalette, QPalette::Active, QPalette::Base, base65);
    setSolid(hexPalette, QPalette::Inactive, QPalette::Base, base65);
    setSolid(hexPalette, QPalette::Disabled, QPalette::Base,
             blendColors(normalPalette.color(QPalette::Disabled, QPalette::Base), base65, 35));

    const QColor alternate = blendColors(normalPalette.color(QPalette::Active, QPalette::AlternateBase), base65, 50);
    setSolid(hexPalette, QPalette::Active, QPalette::AlternateBase, alternate);
    setSolid(hexPalette, QPalette::Inactive, QPalette::AlternateBase, alternate);
    setSolid(hexPalette, QPalette::Disabled, QPalette::AlternateBase,
             blendColors(normalPalette.color(QPalette::Disabled, QPalette::AlternateBase), alternate, 35));

    const QColor window = blendColors(normalPalette.color(QPalette::Window), complement, 65);
    setSolid(hexPalette, QPalette::Active, QPalette::Window, window);
    setSolid(hexPalette, QPalette::Inactive, QPalette::Window, window);
    setSolid(hexPalette, QPalette::Disabled, QPalette::Window,
             blendColors(normalPalette.color(QPalette::Disabled, QPalette::Window), window, 35));
}

QPalette NVLStyleHandle::currentPalette(bool wantHex)
{
    return (wantHex && hexModeOn) ? hexPalette : normalPalette;
}

void NVLStyleHandle::tintPalette(QPalette &palette, const QColor &colour, int percent)
{
    static const QPalette::ColorGroup groups[] = {QPalette::Disabled, QPalette::Active, QPalette::Inactive};
    static const QPalette::ColorRole roles[] = {
        QPalette::Window, QPalette::Base, QPalette::AlternateBase, QPalette::ToolTipBase,
        QPalette::Button, QPalette::Light, QPalette::Midlight,      QPalette::Dark,
        QPalette::Mid,    QPalette::Shadow, QPalette::Highlight};
    for (QPalette::ColorGroup group : groups) {
        for (QPalette::ColorRole role : roles) {
            palette.setBrush(group, role,
                             QBrush(blendColors(colour, palette.color(group, role), percent), Qt::SolidPattern));
        }
    }
}

QString NVLStyleHandle::selectionStyleSheet()
{
    const QColor active = normalPalette.color(QPalette::Active, QPalette::Highlight);
    const QColor text = normalPalette.color(QPalette::Active, QPalette::HighlightedText);
    const QColor inactive = blendColors(normalPalette.color(QPalette::Inactive, QPalette::Highlight), active, 28);

    const QString widgetBackground = QStringLiteral("  selection-background-color: %1; ");
    const QString widgetForeground = QStringLiteral("  selection-color: %1;            ");
    const QString itemBackground = QStringLiteral("  background-color: %1; ");
    const QString itemForeground = QStringLiteral("  color: %1;            ");

    QString sheet;
    sheet += selectionRule(QStringLiteral("QWidget:!active { "), widgetBackground, widgetForeground, inactive, text);
    sheet += selectionRule(QStringLiteral("QWidget:active { "), widgetBackground, widgetForeground, active, text);
    for (const char *view : {"QTreeView", "QListView", "QTableView"}) {
        const QString name = QString::fromLatin1(view);
        sheet += selectionRule(name + QStringLiteral("::item:selected:!active { "), itemBackground, itemForeground,
                               inactive, text);
        sheet += selectionRule(name + QStringLiteral("::item:selected:active { "), itemBackground, itemForeground,
                               active, text);
    }
    return sheet;
}

QString NVLStyleHandle::tabStyleSheet()
{
    const QPalette &p = normalPalette;
    const QColor base = p.color(QPalette::Base);
    const QColor window = p.color(QPalette::Window);
    const QColor mid = p.color(QPalette::Mid);
    const QColor textColour = p.color(QPalette::Text);
    const QColor dark = p.color(QPalette::Dark);
    const QColor highlight = p.color(QPalette::Highlight);

    const QColor edge = blendColors(textColour, dark, 25);
    const QColor lead = blendColors(window, base, 25);
    const QColor g4 = blendColors(window, base, 60);
    const QColor g5 = blendColors(mid, base, 18);
    const QColor soft = blendColors(mid, window, 8);
    const QColor deep = blendColors(mid, window, 55);
    const QColor average = blendColors(window, soft, 50);
    const QColor t0 = blendColors(mid, base, 27);
    const QColor t4 = blendColors(mid, base, 34);
    const QColor t5 = blendColors(mid, base, 39);
    const QColor t10 = blendColors(mid, base, 44);

    // The window background is fixed by the first call so every tab page keeps one look for the whole run.
    if (windowGradient.isEmpty()) {
        windowGradient = gradient(lead, g4, g5, lead);
    }

    const QString e = hex(edge);
    const QString l = hex(lead);
    const QString hl = hex(highlight);
    const auto d = [](const QString &text) { return declaration(text); };

    QString sheet;
    sheet += rule(QStringLiteral("QTabWidget::pane"),
                  {d(QStringLiteral("margin-top: -1px")), d(QStringLiteral("border: 1px solid %1").arg(e)), windowGradient});
    sheet += rule(QStringLiteral("TabScrollAreaWidgetContents"), {windowGradient});
    sheet += rule(QStringLiteral("QTabBar::tab"),
                  {gradient(t0, t4, t5, t10), d(QStringLiteral("border: 1px solid %1").arg(e)),
                   d(QStringLiteral("border-bottom-color: %1").arg(l)), d(QStringLiteral("border-top-left-radius: 4px")),
                   d(QStringLiteral("border-top-right-radius: 4px")), d(QStringLiteral("border-bottom-left-radius: 0px")),
                   d(QStringLiteral("min-height: 16px")), d(QStringLiteral("min-width: 8em")),
                   d(QStringLiteral("padding-left: 10px")), d(QStringLiteral("padding-right: 10px")),
                   d(QStringLiteral("padding-top: 4px")), d(QStringLiteral("padding-bottom: 4px")),
                   d(QStringLiteral("font-weight: bold"))});
    sheet += rule(QStringLiteral("QTabBar::tab:selected, QTabBar::tab:hover"), {windowGradient});
    sheet += rule(QStringLiteral("QTabBar::tab:selected"),
                  {d(QStringLiteral("border-left-color: %1").arg(e)), d(QStringLiteral("border-right-color: %1").arg(e)),
                   d(QStringLiteral("border-top-color: %1").arg(hl)), d(QStringLiteral("border-top-width: 2px")),
                   d(QStringLiteral("border-bottom-color: %1").arg(l)), d(QStringLiteral("margin-left: -4px")),
                   d(QStringLiteral("margin-right: -4px"))});
    sheet += rule(QStringLiteral("QTabBar::tab:!selected"),
                  {d(QStringLiteral("margin-top: 2px")), d(QStringLiteral("border-bottom: 1px solid %1").arg(e))});
    sheet += rule(QStringLiteral("QTabBar::tab:first:selected"),
                  {d(QStringLiteral("margin-left: 0")), d(QStringLiteral("padding-left: 10px")),
                   d(QStringLiteral("padding-right: 10px"))});
    sheet += rule(QStringLiteral("QTabBar::tab:last:selected"),
                  {d(QStringLiteral("margin-right: 0")), d(QStringLiteral("padding-left: 10px")),
                   d(QStringLiteral("padding-right: 10px"))});
    sheet += rule(QStringLiteral("QTabBar::tab:only-one"), {d(QStringLiteral("margin: 0"))});
    sheet += rule(QStringLiteral("QTabWidget[maintabs=true]::pane"),
                  {d(QStringLiteral("padding: 4px")), gradient(deep, window, window, soft)});
    sheet += rule(QStringLiteral("QTabBar[maintabs=true]::Tab"),
                  {gradient(lead, g5, window, deep), d(QStringLiteral("border-top-left-radius: 6px")),
                   d(QStringLiteral("border-top-right-radius: 6px")), d(QStringLiteral("min-width: 7em")),
                   d(QStringLiteral("min-height: 24px")), d(QStringLiteral("padding: 1px"))});
    sheet += rule(QStringLiteral("QTabBar[maintabs=true]::tab:selected, QTabBar#m_mainTabBar::tab:hover"),
                  {gradient(window, average, soft, deep)});
    sheet += rule(QStringLiteral("QTabBar[maintabs=true]::tab:selected"),
                  {QStringLiteral("  border-bottom: 2px solid %1").arg(hex(deep))});
    sheet += QStringLiteral("  ");
    sheet += rule(QStringLiteral("QTabWidget::pane:bottom"),
                  {d(QStringLiteral("margin-bottom: -1px")), d(QStringLiteral("margin-top: 0px"))});
    sheet += rule(QStringLiteral("QTabBar::tab:bottom"),
                  {d(QStringLiteral("border: 1px solid %1").arg(e)), d(QStringLiteral("border-bottom-color: %1").arg(l)),
                   d(QStringLiteral("border-top-left-radius: 2px")), d(QStringLiteral("border-top-right-radius: 2px")),
                   d(QStringLiteral("border-bottom-left-radius: 4px")),
                   d(QStringLiteral("border-bottom-right-radius: 4px")), d(QStringLiteral("height: 0.9em")),
                   d(QStringLiteral("padding: 4px")), d(QStringLiteral("min-width: 6em")),
                   d(QStringLiteral("font-weight: normal"))});
    sheet += rule(QStringLiteral("QTabBar::tab:selected:bottom"),
                  {d(QStringLiteral("border-left-color: %1").arg(e)), d(QStringLiteral("border-right-color: %1").arg(e)),
                   d(QStringLiteral("border-bottom-color: %1").arg(hl)), d(QStringLiteral("border-bottom-width: 2px")),
                   d(QStringLiteral("border-top-color: %1").arg(l)), d(QStringLiteral("margin-left: -4px")),
                   d(QStringLiteral("margin-right: -4px")), d(QStringLiteral("font-weight: bold"))});
    sheet += rule(QStringLiteral("QTabBar::tab:!selected:bottom"),
                  {d(QStringLiteral("margin-top: -1px")), d(QStringLiteral("border-top: 2px solid %1").arg(e)),
                   d(QStringLiteral("border-bottom: 1px solid %1").arg(e))});
    sheet += rule(QStringLiteral("QTabBar::tab:first:selected:bottom"),
                  {d(QStringLiteral("margin-left: 0")), d(QStringLiteral("padding-left: 2px")),
                   d(QStringLiteral("padding-right: 2px"))});
    sheet += rule(QStringLiteral("QTabBar::tab:last:selected:bottom"),
                  {d(QStringLiteral("margin-right: 0")), d(QStringLiteral("padding-left: 2px")),
                   d(QStringLiteral("padding-right: 2px"))});
    sheet += rule(QStringLiteral("QTabBar::tab:only-one:selected:bottom"),
                  {d(QStringLiteral("margin-right: 0")), d(QStringLiteral("margin-left: 0")),
                   d(QStringLiteral("padding-left: 0")), d(QStringLiteral("padding-right: 0"))});
    sheet += rule(QStringLiteral("QSplitter::handle"), {d(QStringLiteral("background: none"))});

    return sheet + selectionStyleSheet();
}

void NVLStyleHandle::applyDialogStyle(QDialog *dialog)
{
    dialog->setStyleSheet(selectionStyleSheet());
    dialog->setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

void NVLStyleHandle::onHexModeChange(bool hexModeOn)
{
    NVLStyleHandle::hexModeOn = hexModeOn;
    emit hexModeChanged(hexModeOn);
}

void NVLStyleHandle::onPaletteChange(QPalette palette)
{
    updatePalettes(palette, false);
    emit paletteChanged(palette);
}

} // namespace NVL::Engineering::VK
