#include "readback/WrappedCheckBox.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

WrappedCheckBox::WrappedCheckBox(const QString& text, QWidget* parent) : QCheckBox(text, parent) {}

void WrappedCheckBox::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    const QString caption = opt.text;
    opt.text.clear();
    p.drawControl(QStyle::CE_CheckBox, opt);
    QStyleOptionButton textOpt = opt;
    textOpt.text = caption;
    QRect textRect = style()->subElementRect(QStyle::SE_CheckBoxContents, &textOpt, this);
    textRect.setRight(rect().right());
    textRect.setTop(rect().top());
    textRect.setBottom(rect().bottom());
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                             QPalette::WindowText));
    p.drawText(textRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, caption);
}

bool WrappedCheckBox::hitButton(const QPoint& pos) const { return rect().contains(pos); }
