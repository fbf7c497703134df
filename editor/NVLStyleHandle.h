#pragma once

#include <QColor>
#include <QObject>
#include <QPalette>
#include <QString>

class QDialog;

namespace NVL::Engineering::VK {

// Process-wide look of the editor's windows: palettes derived from the system palette, named colours and
// the generated style sheets. All state is shared by every window; GUI thread only.
class NVLStyleHandle : public QObject
{
    Q_OBJECT

public:
    // The one instance, alive from before the program entry to exit; carries the signals and slots.
    static NVLStyleHandle &instance();

    static inline const QColor Blue{0x00, 0x6c, 0xa7};
    static inline const QColor Orange{0xf6, 0x89, 0x3a};
    static inline const QColor Gray{0x44, 0x41, 0x41};
    static inline const QColor Red{0xbb, 0x25, 0x3a};
    static inline const QColor Amber{0xc4, 0x7a, 0x27};
    static inline const QColor Green{0x41, 0xa6, 0x21};

    // Red, Amber and Green, lightened while the normal palette is dark.
    static inline QColor AdaptiveRed = Red;
    static inline QColor AdaptiveAmber = Amber;
    static inline QColor AdaptiveGreen = Green;

    static QColor blendColors(const QColor &a, const QColor &b, int percent);
    static void updatePalettes(const QPalette &base, bool tint);
    static QPalette currentPalette(bool wantHex);
    static void tintPalette(QPalette &palette, const QColor &colour, int percent);
    static QString selectionStyleSheet();
    static QString tabStyleSheet();
    static void applyDialogStyle(QDialog *dialog);

signals:
    void hexModeChanged(bool hexModeOn);
    void paletteChanged(QPalette palette);

public slots:
    void onHexModeChange(bool hexModeOn);
    void onPaletteChange(QPalette palette);

private:
    NVLStyleHandle() = default;

    static inline QPalette normalPalette;
    static inline QPalette hexPalette;
    static inline bool hexModeOn = false;
    static inline QString windowGradient;
};

} // namespace NVL::Engineering::VK
