#include "ui/FormKit.h"

#include "ui/WrappedCheckBox.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QStackedWidget>
#include <QTabWidget>

#include <algorithm>
#include <tuple>
#include <vector>

namespace FormKit {

QValidator::State LengthLimit::validate(QString& input, int& pos) const {
    // The box checks every change of its text here, the program's own too:
    // a text set by the program (the edit history starts afresh, so the box
    // is not modified) is taken whole, whatever its length.
    const auto* edit = qobject_cast<const QLineEdit*>(parent());
    if (!edit || !edit->isModified()) {
        last_ = input;
        return Acceptable;
    }
    if (holds_) {
        QString before = input.left(pos).normalized(QString::NormalizationForm_C);
        QString after = input.mid(pos);
        const auto refused = [this](QChar c) { return !holds_(c.unicode()); };
        before.removeIf(refused);
        after.removeIf(refused);
        input = before + after;
        pos = static_cast<int>(before.size());
    }
    if (input.size() <= limit_) {
        last_ = input;
        return Acceptable;
    }
    // The operator's change may not make the text longer than the limit, or
    // than a longer text the program put in. What was inserted ends at the
    // cursor and begins where the text before stops agreeing with the new
    // one: its tail goes.
    const qsizetype allowed = std::max<qsizetype>(limit_, last_.size());
    if (input.size() > allowed) {
        qsizetype start = 0;
        while (start < last_.size() && start < pos && last_[start] == input[start])
            ++start;
        const qsizetype excess = input.size() - allowed;
        if (pos - start < excess)
            return Invalid;
        input.remove(pos - excess, excess);
        pos -= static_cast<int>(excess);
    }
    last_ = input;
    return Acceptable;
}

void setWindowFont(QWidget* window) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(8);
    window->setFont(font);
}

QFrame* addSeparator(QWidget* parent, QRect geometry) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(geometry);
    return line;
}

void centreOnScreen(QWidget* window) {
    const QScreen* screen = window->screen();
    if (!screen)
        return;
    QRect frame(QPoint(), window->size());
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

void setUpOutputPages(QTabWidget* pages) {
    for (int i = 0; i < pages->count(); ++i) {
        if (i >= 2)
            pages->setTabVisible(i, false);
        pages->widget(i)->setEnabled(false);
    }
}

void setTextLimit(QLineEdit* edit, int limit, LengthLimit::Holds holds) {
    if (limit < 32767 || holds)
        edit->setValidator(new LengthLimit(limit, edit, holds));
}

int textLimit(const QLineEdit* edit) {
    if (const auto* l = dynamic_cast<const LengthLimit*>(edit->validator()))
        return l->limit();
    return edit->maxLength();
}

QLabel* addLabel(QWidget* parent, const QString& text, QRect geometry, QWidget* buddy, bool wrap) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(geometry);
    l->setWordWrap(wrap);
    if (buddy) {
        l->setBuddy(buddy);
        if (buddy->accessibleName().isEmpty())
            buddy->setAccessibleName(text);
    }
    return l;
}

QComboBox* addCombo(QWidget* parent, const char* name, QRect geometry, const QStringList& items) {
    auto* c = new QComboBox(parent);
    c->setObjectName(QLatin1String(name));
    c->setGeometry(geometry);
    c->addItems(items);
    c->setMaxVisibleItems(static_cast<int>(items.size()));
    c->setCurrentIndex(0);
    return c;
}

QCheckBox* addCheck(QWidget* parent, const char* name, const QString& text, QRect geometry,
                    bool wrapped) {
    QCheckBox* c = wrapped ? new WrappedCheckBox(text, parent) : new QCheckBox(text, parent);
    c->setObjectName(QLatin1String(name));
    c->setGeometry(geometry);
    c->setAccessibleName(text);
    return c;
}

void orderTabs(const QList<QWidget*>& areas) {
    QWidget* previous = nullptr;
    const auto follow = [&previous](QWidget* w) {
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    };
    for (QWidget* area : areas) {
        struct Stop {
            std::vector<int> pages; // the tab page at each level, outermost first
            int y;
            int x;
            QWidget* widget;
        };
        std::vector<Stop> stops;
        QList<QWidget*> candidates = area->findChildren<QWidget*>();
        candidates.prepend(area);
        for (QWidget* w : candidates) {
            if (!(w->focusPolicy() & Qt::TabFocus))
                continue;
            if (w->focusProxy()) {
                // A tab widget hands its focus to its tab bar, which takes
                // its place in the order; left in the chain, it would pull
                // Tab back to its bar from wherever it stood.
                w->setFocusPolicy(Qt::NoFocus);
                continue;
            }
            Stop stop{{}, 0, 0, w};
            for (QWidget* child = w; child != area; child = child->parentWidget())
                if (auto* stack = qobject_cast<QStackedWidget*>(child->parentWidget()))
                    stop.pages.insert(stop.pages.begin(), stack->indexOf(child));
            const QPoint at = w->mapTo(area->window(), QPoint(0, 0));
            stop.y = at.y();
            stop.x = at.x();
            stops.push_back(stop);
        }
        std::stable_sort(stops.begin(), stops.end(), [](const Stop& a, const Stop& b) {
            return std::tie(a.pages, a.y, a.x) < std::tie(b.pages, b.y, b.x);
        });
        for (const Stop& stop : stops)
            follow(stop.widget);
    }
}

} // namespace FormKit
