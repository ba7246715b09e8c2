#pragma once

#include <QCheckBox>

// A check box whose caption wraps onto several lines within its width, for
// the long captions of the operating-mode group. text() stays the caption.
class WrappedCheckBox final : public QCheckBox {
    Q_OBJECT
public:
    explicit WrappedCheckBox(const QString& text, QWidget* parent = nullptr);

    // Where `length` characters of the caption from `start` on are drawn, in
    // the box's own coordinates, on the line where they begin: a control
    // can be laid over a gap left in the caption for it.
    QRect captionRect(int start, int length) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    // The area the wrapped caption is drawn in.
    QRect textArea() const;
};
