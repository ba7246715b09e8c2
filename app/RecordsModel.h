#pragma once

#include "store/DateTime.h"

#include <QAbstractTableModel>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class SettingsDatabase;

// The records grid's model: one row per slot, read straight from the
// database. A row's texts are rendered the first time they are needed and
// kept until the row is written again, so neither showing nor searching the
// list formats a date more than once per change.
class RecordsModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int ColumnCount = 5;

    RecordsModel(const SettingsDatabase& db, const QLocale& locale, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Writes every used slot's row (a slot is in use from ChangeDate 0.001).
    void fillFromDatabase();
    // Blanks the row of `slot`, then writes it again when its ChangeDate is
    // above 0.001.
    void refreshRow(int slot);

    // The text of one cell, column 0 being "Код УО": exactly what the grid
    // shows.
    const QString& cellText(int row, int column) const;
    // Whether any cell of the row contains `lowered` (already lower-cased).
    bool rowContains(int row, const QString& lowered) const;

private:
    enum class RowState : std::uint8_t { Blank, Pending, Rendered };
    struct Texts {
        std::array<QString, ColumnCount> cells;
        // The cells lower-cased in the operator's locale and joined by a
        // separator no typed text holds, so a row is searched in one pass.
        QString joined;
    };
    // The texts are made only for rows that are shown or searched: most of
    // the 9000 are never rendered at all in a run.
    struct Row {
        RowState state = RowState::Blank;
        bool showProgDate = false;
        std::unique_ptr<Texts> texts;
    };

    void markWritten(int slot);
    void render(Row& row, int slot) const;

    const SettingsDatabase& db_;
    DateTimeText dateText_;
    QLocale locale_;
    mutable std::vector<Row> rows_;
    QString empty_;
};
