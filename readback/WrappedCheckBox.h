#pragma once

#include <QCheckBox>

// A check box whose caption wraps onto several lines within its width, for
// the long captions of the operating-mode group. text() stays the caption.
class WrappedCheckBox final : public QCheckBox {
    Q_OBJECT
public:
    explicit WrappedCheckBox(const QString& text, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
};
