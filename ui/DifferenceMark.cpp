#include "ui/DifferenceMark.h"

#include "ui/Contrast.h"

#include <QPainter>
#include <QPointer>

namespace {

const char* const kMarked = "differenceMarked";
constexpr int kMargin = 3;

void setBold(QWidget* control, bool bold) {
    QFont font = control->font();
    font.setBold(bold);
    control->setFont(font);
}

} // namespace

DifferenceMark::DifferenceMark(QWidget* control) : QWidget(control->parentWidget()) {
    setObjectName(QStringLiteral("DifferenceMark"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(control->geometry().adjusted(-kMargin, -kMargin, kMargin, kMargin));
    setVisible(control->isVisibleTo(control->parentWidget()));
    raise();
}

void DifferenceMark::mark(QWidget* control, const QString& description) {
    if (!control || !control->parentWidget())
        return;
    new DifferenceMark(control);
    control->setProperty(kMarked, true);
    setBold(control, true);
    control->setAccessibleDescription(description);
}

void DifferenceMark::Clear(QWidget* window) {
    for (DifferenceMark* mark : window->findChildren<DifferenceMark*>())
        delete mark;
    for (QWidget* control : window->findChildren<QWidget*>()) {
        if (!control->property(kMarked).toBool())
            continue;
        control->setProperty(kMarked, false);
        setBold(control, false);
        control->setAccessibleDescription(QString());
    }
}

QColor DifferenceMark::colour(const QPalette& palette) {
    return Contrast::readableOn(QColor(0xc8, 0x3c, 0x00),
                                palette.color(QPalette::Active, QPalette::Window));
}

void DifferenceMark::paintEvent(QPaintEvent*) {
    // Drawn the same whether the group under it is enabled or not.
    const QColor outline = colour(palette());
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(outline, 2.0));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 3, 3);
}
