// The record list: the search box and "Искать далее...".
#include "app/TForm1.h"

#include "app/RecordsModel.h"
#include "store/CardFields.h"
#include "store/Cp1251.h"
#include "store/SettingsDatabase.h"

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QSignalBlocker>
#include <QTableView>
#include <QToolButton>

#include <cstring>
#include <utility>

void TForm1::connectRecordList() {
    SearchEdit->installEventFilter(this);
    // Only a move of the focus to another control of this window leaves the
    // search box: another window coming up, a message box or the box's own
    // menu do not.
    focusWatch_ =
        connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
            if (old == SearchEdit && now && now->window() == this)
                SearchEditExit();
        });
    connect(SearchEdit, &QLineEdit::textChanged, this, &TForm1::SearchEditChange);
    connect(SpeedButton3, &QToolButton::clicked, this, &TForm1::SpeedButton3Click);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == SearchEdit) {
        switch (event->type()) {
        case QEvent::MouseButtonRelease:
            SearchEditClick();
            break;
        case QEvent::KeyPress:
            SearchEditKeyDown(static_cast<QKeyEvent*>(event)->key());
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::SearchEditClick() {
    SearchEdit->selectAll();
}

void TForm1::SearchEditChange() {
    SearchRow = 0;
    FindNext();
}

void TForm1::SearchEditExit() {
    if (SearchEdit->text().isEmpty())
        SearchEdit->setText(QStringLiteral("(Поиск...)"));
}

void TForm1::SearchEditKeyDown(int key) {
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        FindNext();
}

bool TForm1::rowMatchesGrid(int row, const QString& lowered) const {
    return records_->rowContains(row - 1, lowered);
}

bool TForm1::rowMatchesSim(int row, const QByteArray& needle) const {
    const SettingsRecord& rec = std::as_const(db_).Slot(row - 1);
    for (const TextField f : {Field::SIM_ID1_Edit, Field::SIM_ID2_Edit, Field::PUK1_Edit,
                              Field::PUK2_Edit, Field::Number1_Edit, Field::Number2_Edit}) {
        // The fields are short: find the first byte, then compare the rest.
        const auto* p = reinterpret_cast<const char*>(rec.data() + f.offset);
        const char* end = p + ::strnlen(p, static_cast<std::size_t>(f.width));
        const auto n = static_cast<std::size_t>(needle.size());
        while (static_cast<std::size_t>(end - p) >= n) {
            p = static_cast<const char*>(
                std::memchr(p, needle[0], static_cast<std::size_t>(end - p) - n + 1));
            if (!p)
                break;
            if (std::memcmp(p, needle.constData(), n) == 0)
                return true;
            ++p;
        }
    }
    return false;
}

void TForm1::FindNext() {
    const QString t = SearchEdit->text();
    if (t.isEmpty())
        return;
    const QString lowered = QLocale().toLower(t);
    // SIM fields hold Windows-1251 bytes; a text the code page cannot hold
    // occurs in none of them.
    const bool simSearch = Cp1251::canEncode(t);
    const QByteArray needle = Cp1251::encode(t);
    const int from = SearchRow;
    int found = 0;
    for (int r = from + 1; r <= SettingsDatabase::SlotCount && !found; ++r)
        if (rowMatchesGrid(r, lowered))
            found = r;
    for (int r = from + 1; r <= SettingsDatabase::SlotCount && !found && simSearch; ++r)
        if (rowMatchesSim(r, needle))
            found = r;
    if (!found && from > 1) {
        for (int r = 1; r < from && !found; ++r)
            if (rowMatchesGrid(r, lowered))
                found = r;
        for (int r = 1; r < from && !found && simSearch; ++r)
            if (rowMatchesSim(r, needle))
                found = r;
    }
    if (!found)
        return;
    SearchRow = found;
    selectSlot(found - 1);
}

void TForm1::selectSlot(int slot) {
    if (slot < 0 || slot >= SettingsDatabase::SlotCount)
        return;
    {
        const QSignalBlocker quiet(SetsGrid->selectionModel());
        SetsGrid->setCurrentIndex(records_->index(slot, 0));
        SetsGrid->selectRow(slot);
    }
    // The view heard nothing of the change: the row that was selected must
    // be drawn afresh, as the new one is.
    SetsGrid->viewport()->update();
    SetsGrid->scrollTo(records_->index(slot, 0));
    SetsGridClick();
}
