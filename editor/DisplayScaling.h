#pragma once

namespace NVL::Engineering::VK {

// How the editor's windows follow a screen's density; called before the QApplication is made.
// At a fractional factor (144 dpi is 1.5) Qt paints item views half a pixel off, and the lists lose
// their bottom edge. Factors are rounded down below .75 instead, and the fonts take the rest: at
// 144 dpi the text is as large as before, the lines and frames sharp.
void chooseDisplayScaling();

} // namespace NVL::Engineering::VK
