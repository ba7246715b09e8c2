#include "app/RecordsModel.h"

#include "store/CardFields.h"
#include "store/SettingsDatabase.h"

#include <QStringTokenizer>

namespace {

// Joins the lowered cells of a row for the search.
constexpr QChar kCellSeparator = QChar(0x0001);

const std::array<QString, RecordsModel::ColumnCount> kTitles = {
    QStringLiteral("Код УО"),
    QStringLiteral("№ карточки"),
    QStringLiteral("Объект"),
    QStringLiteral("Дата изменений"),
    QStringLiteral("Дата программирования"),
};

} // namespace

RecordsModel::RecordsModel(const SettingsDatabase& db, const QLocale& locale, QObject* parent)
    : QAbstractTableModel(parent), db_(db), dateText_(locale), locale_(locale),
      rows_(SettingsDatabase::SlotCount) {}

int RecordsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : SettingsDatabase::SlotCount;
}

int RecordsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RecordsModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return cellText(index.row(), index.column());
}

QVariant RecordsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return section >= 0 && section < ColumnCount ? kTitles[static_cast<std::size_t>(section)]
                                                     : QVariant();
    return QString::number(section + 1);
}

Qt::ItemFlags RecordsModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

void RecordsModel::fillFromDatabase() {
    for (int slot = 0; slot < SettingsDatabase::SlotCount; ++slot) {
        if (db_.Slot(slot).IsUsed())
            markWritten(slot);
    }
    emit dataChanged(index(0, 0), index(SettingsDatabase::SlotCount - 1, ColumnCount - 1));
}

void RecordsModel::refreshRow(int slot) {
    if (slot < 0 || slot >= SettingsDatabase::SlotCount)
        return;
    Row& row = rows_[static_cast<std::size_t>(slot)];
    row = Row{};
    if (db_.Slot(slot).ChangeDate() > SettingsRecord::UsedThreshold)
        markWritten(slot);
    emit dataChanged(index(slot, 0), index(slot, ColumnCount - 1));
}

void RecordsModel::markWritten(int slot) {
    Row& row = rows_[static_cast<std::size_t>(slot)];
    row.state = RowState::Pending;
    row.showProgDate = db_.Slot(slot).ProgDate() > SettingsRecord::UsedThreshold;
}

const QString& RecordsModel::cellText(int row, int column) const {
    if (row < 0 || row >= SettingsDatabase::SlotCount || column < 0 || column >= ColumnCount)
        return empty_;
    Row& r = rows_[static_cast<std::size_t>(row)];
    if (r.state == RowState::Pending)
        render(r, row);
    return r.texts ? r.texts->cells[static_cast<std::size_t>(column)] : empty_;
}

bool RecordsModel::rowContains(int row, const QString& lowered) const {
    Row& r = rows_[static_cast<std::size_t>(row)];
    if (r.state == RowState::Blank)
        return false;
    if (r.state == RowState::Pending)
        render(r, row);
    const QString& joined = r.texts->joined;
    if (!lowered.contains(kCellSeparator))
        return joined.contains(lowered);
    // A search text holding the separator must not match across two cells.
    for (const QStringView cell : QStringTokenizer(joined, kCellSeparator)) {
        if (cell.contains(lowered))
            return true;
    }
    return false;
}

void RecordsModel::render(Row& row, int slot) const {
    const SettingsRecord& rec = db_.Slot(slot);
    row.texts = std::make_unique<Texts>();
    auto& cells = row.texts->cells;
    cells[0] = QString::number(rec.CodeUoo());
    cells[1] = rec.text(Field::NCardEdit);
    cells[2] = rec.text(Field::Edit1);
    cells[3] = dateText_(rec.ChangeDate());
    if (row.showProgDate)
        cells[4] = dateText_(rec.ProgDate());
    QString& joined = row.texts->joined;
    for (std::size_t c = 0; c < cells.size(); ++c) {
        if (c > 0)
            joined += kCellSeparator;
        joined += locale_.toLower(cells[c]);
    }
    row.state = RowState::Rendered;
}
