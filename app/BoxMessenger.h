#pragma once

#include "store/Messenger.h"

class QWidget;

// Message boxes without an icon: OK, or Yes and No; the error box has the
// error icon.
class BoxMessenger final : public Messenger {
public:
    explicit BoxMessenger(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    void inform(const QString& caption, const QString& text) override;
    bool ask(const QString& caption, const QString& text) override;
    void error(const QString& caption, const QString& text) override;

private:
    QWidget* parent_;
};
