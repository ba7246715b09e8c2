#include "ui/Contrast.h"

#include <QApplication>
#include <QWidget>

#include <cmath>

namespace Contrast {

namespace {

double linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

} // namespace

double luminance(const QColor& colour) {
    const QColor c = colour.toRgb();
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

double ratio(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor readableOn(const QColor& wanted, const QColor& background) {
    if (ratio(wanted, background) >= Readable)
        return wanted;
    const QColor hsl = wanted.toHsl();
    const bool lighten = luminance(background) < 0.18;
    for (int l = hsl.lightness(); lighten ? l <= 255 : l >= 0; l += lighten ? 1 : -1) {
        const QColor c = QColor::fromHsl(hsl.hslHue(), hsl.hslSaturation(), l).toRgb();
        if (ratio(c, background) >= Readable)
            return c;
    }
    return ratio(Qt::white, background) >= ratio(Qt::black, background) ? QColor(Qt::white)
                                                                        : QColor(Qt::black);
}

void setColour(QWidget* widget, QPalette::ColorRole role, const QColor& wanted,
               QPalette::ColorRole background) {
    // The background as the desktop's palette gives it: when the palette has
    // just changed, the widget may not have taken it in yet.
    const QPalette desktop = QApplication::palette(widget);
    const bool dark = isDark(desktop);
    // Only this role is the widget's own; the rest follows the desktop.
    QPalette palette;
    palette.setResolveMask(0);
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, role,
                         dark ? readableOn(wanted, desktop.color(group, background)) : wanted);
    widget->setPalette(palette);
}

} // namespace Contrast
