#include "ui/WrappedCheckBox.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTextLayout>

#include <algorithm>

WrappedCheckBox::WrappedCheckBox(const QString& text, QWidget* parent) : QCheckBox(text, parent) {}

QRect WrappedCheckBox::textArea() const {
    QStyleOptionButton opt;
    initStyleOption(&opt);
    QRect area = style()->subElementRect(QStyle::SE_CheckBoxContents, &opt, this);
    area.setRight(rect().right());
    area.setTop(rect().top());
    area.setBottom(rect().bottom());
    return area;
}

void WrappedCheckBox::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    opt.text.clear();
    p.drawControl(QStyle::CE_CheckBox, opt);
    p.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.drawText(textArea(), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text());
}

QRect WrappedCheckBox::captionRect(int start, int length) const {
    // Laid out as the painter lays out a word-wrapped text.
    const QRect area = textArea();
    QTextLayout layout(text(), font());
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    const QFontMetricsF metrics(font());
    qreal y = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(area.width());
        line.setPosition(QPointF(0, y));
        y += metrics.leading() + line.height();
    }
    layout.endLayout();
    const QTextLine line = layout.lineForTextPosition(start);
    if (!line.isValid())
        return {};
    const qreal x1 = line.cursorToX(start);
    const qreal x2 = line.cursorToX(std::min(start + length, line.textStart() + line.textLength()));
    return QRectF(area.left() + x1, area.top() + line.y(), x2 - x1, line.height()).toRect();
}

bool WrappedCheckBox::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}
