#pragma once

#include <QColor>
#include <QPalette>

class QWidget;

// Colours a window sets itself (a green search text, a red warning) are made
// for a light palette; on a dark one they are lightened until they read.
namespace Contrast {

// The contrast a text needs against its background to be read with ease.
inline constexpr double Readable = 4.5;

// Relative luminance and contrast ratio as the web's accessibility
// guidelines define them: 1 (none) to 21 (black on white).
double luminance(const QColor& colour);
double ratio(const QColor& a, const QColor& b);

// A palette whose windows are darker than mid-grey.
bool isDark(const QPalette& palette);

// `wanted` lightened, keeping its hue, just enough to reach Readable against
// `background`; unchanged when it reads already. Where no lightness reaches
// it, the better of black and white.
QColor readableOn(const QColor& wanted, const QColor& background);

// Gives the widget's `role` the colour `wanted` in every colour group: as it
// is on a light palette, and on a dark one readable against the group's own
// `background` (enabled and disabled alike).
void setColour(QWidget* widget, QPalette::ColorRole role, const QColor& wanted,
               QPalette::ColorRole background);

} // namespace Contrast
