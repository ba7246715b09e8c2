#pragma once

#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QValidator>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QTabWidget;
class QWidget;

// Small builders shared by both windows, which place their controls at fixed
// positions as the layout gives them.
namespace FormKit {

// The measures both windows are laid out in: the height of a one-line box,
// and the step from one row of boxes to the next.
inline constexpr int EditHeight = 21;
inline constexpr int RowStep = 23;

// The font both windows are drawn in, whose measures the layout was made
// for: DejaVu Sans, 8 points.
void setWindowFont(QWidget* window);
// A sunken line between two parts of a group.
QFrame* addSeparator(QWidget* parent, QRect geometry);

// The length limit of a box as the operator meets it: typing cannot make the
// text longer than the limit, or than a longer text the program put in
// (shown whole, where a line edit's own maximum length would cut it), and a
// paste inserts as much of its text as fits. Its parent is the box.
//
// A box of a card also takes only the characters the card can hold: what the
// operator types or pastes is composed first (a "й" typed as "и" and its
// breve is one letter), then a character `holds` refuses is dropped, before
// the limit is applied.
class LengthLimit final : public QValidator {
public:
    using Holds = bool (*)(char16_t);
    LengthLimit(int limit, QObject* parent, Holds holds = nullptr)
        : QValidator(parent), limit_(limit), holds_(holds) {}
    State validate(QString& input, int& pos) const override;
    int limit() const { return limit_; }

private:
    int limit_;
    Holds holds_;
    mutable QString last_; // the text as last accepted
};

// The outputs' pages as both windows set them up: tabs from the third page on
// hidden, every page disabled (the page control itself stays usable).
void setUpOutputPages(QTabWidget* pages);

// Asks for the window to be placed in the middle of its screen's free area
// (a window manager may still place it its own way).
void centreOnScreen(QWidget* window);

// Gives the box its limit (none for 32767 and above); with `holds`, also the
// characters it takes.
void setTextLimit(QLineEdit* edit, int limit, LengthLimit::Holds holds = nullptr);
// The limit the box enforces on typing.
int textLimit(const QLineEdit* edit);

// A caption beside a control; it names the control for screen readers.
QLabel* addLabel(QWidget* parent, const QString& text, QRect geometry, QWidget* buddy = nullptr,
                 bool wrap = false);
QComboBox* addCombo(QWidget* parent, const char* name, QRect geometry, const QStringList& items);
// `wrapped` lets a long caption run over several lines.
QCheckBox* addCheck(QWidget* parent, const char* name, const QString& text, QRect geometry,
                    bool wrapped = false);

// Sets the Tab order: area after area as given; inside an area (a group, a
// panel, or one control), the tab pages in their order, each top to bottom
// and left to right, as the controls stand on the screen.
void orderTabs(const QList<QWidget*>& areas);

} // namespace FormKit
