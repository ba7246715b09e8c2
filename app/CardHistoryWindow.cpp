#include "app/CardHistoryWindow.h"

#include "store/DeviceMatch.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

CardHistoryWindow::CardHistoryWindow(int slot, const std::vector<TeamVersion>& versions,
                                     const Words& words, bool mayRestore, QWidget* parent)
    : QDialog(parent), versions_(versions) {
    setObjectName(QStringLiteral("CardHistoryWindow"));
    setWindowTitle(QStringLiteral("История строки %1").arg(slot + 1));
    resize(760, 420);
    auto* layout = new QVBoxLayout(this);
    Versions = new QTableWidget(int(versions.size()), 3, this);
    Versions->setObjectName(QStringLiteral("Versions"));
    Versions->setAccessibleName(QStringLiteral("Версии карточки"));
    Versions->setHorizontalHeaderLabels(
        {QStringLiteral("Когда"), QStringLiteral("Кто"), QStringLiteral("Что изменено")});
    Versions->setSelectionBehavior(QAbstractItemView::SelectRows);
    Versions->setSelectionMode(QAbstractItemView::SingleSelection);
    Versions->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Versions->setWordWrap(true);
    Versions->horizontalHeader()->setStretchLastSection(true);
    Versions->verticalHeader()->hide();
    const QLocale locale;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        const TeamVersion& v = versions[i];
        const SettingsRecord* older = i + 1 < versions.size() ? &versions[i + 1].record : nullptr;
        const int row = int(i);
        Versions->setItem(
            row, 0,
            new QTableWidgetItem(locale.toString(v.when.toLocalTime(), QLocale::ShortFormat)));
        Versions->setItem(row, 1, new QTableWidgetItem(v.who));
        Versions->setItem(row, 2, new QTableWidgetItem(describe(older, v.record, words)));
    }
    Versions->resizeColumnsToContents();
    Versions->resizeRowsToContents();
    layout->addWidget(Versions);
    auto* buttons = new QHBoxLayout;
    RestoreBtn = new QPushButton(QStringLiteral("Восстановить"), this);
    RestoreBtn->setObjectName(QStringLiteral("RestoreBtn"));
    RestoreBtn->setEnabled(false);
    if (!mayRestore)
        RestoreBtn->setToolTip(QStringLiteral("Только чтение: пользователь базы команды не может "
                                              "изменять карточки"));
    CloseBtn = new QPushButton(QStringLiteral("Закрыть"), this);
    CloseBtn->setObjectName(QStringLiteral("CloseBtn"));
    buttons->addStretch();
    buttons->addWidget(RestoreBtn);
    buttons->addWidget(CloseBtn);
    layout->addLayout(buttons);
    connect(CloseBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(Versions, &QTableWidget::itemSelectionChanged, this, [this, mayRestore] {
        const int row = Versions->currentRow();
        // A deletion has nothing to bring back.
        RestoreBtn->setEnabled(mayRestore && row >= 0 &&
                               versions_[std::size_t(row)].record.IsUsed());
    });
    connect(RestoreBtn, &QPushButton::clicked, this, [this] {
        const int row = Versions->currentRow();
        if (row < 0)
            return;
        emit restore(versions_[std::size_t(row)].record);
        accept();
    });
}

QString CardHistoryWindow::describe(const SettingsRecord* older, const SettingsRecord& newer,
                                    const Words& words) {
    if (!newer.IsUsed())
        return QStringLiteral("карточка удалена");
    const SettingsRecord none;
    const bool created = !older || !older->IsUsed();
    QStringList changes;
    for (const CardField* f : changedFields(created ? none : *older, newer)) {
        const QString caption = words.caption(*f);
        changes << (secretField(*f) ? caption + QStringLiteral(": (изменено)")
                                    : caption + QStringLiteral(": ") + words.value(*f, newer));
    }
    if (!created && older->ProgID1() != newer.ProgID1())
        changes << QStringLiteral("запрограммирована (ID %1)")
                       .arg(QString::number(newer.ProgID1(), 16)
                                .toUpper()
                                .rightJustified(4, QLatin1Char('0')));
    const QString list = changes.join(QStringLiteral("; "));
    if (created)
        return older ? QStringLiteral("карточка создана заново: ") + list
                     : QStringLiteral("карточка создана: ") + list;
    return list.isEmpty() ? QStringLiteral("без изменений настроек") : list;
}
