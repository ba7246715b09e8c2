#pragma once

#include "store/CardFields.h"
#include "store/SettingsRecord.h"
#include "team/TeamSync.h"

#include <QDialog>

#include <functional>
#include <vector>

class QPushButton;
class QTableWidget;

// The versions of one row of the team database, the newest first: when,
// who, and which settings changed. "Восстановить" hands the chosen version
// back to the main window, which puts it in the editor.
class CardHistoryWindow final : public QDialog {
    Q_OBJECT
public:
    struct Words {
        std::function<QString(const CardField&)> caption;
        std::function<QString(const CardField&, const SettingsRecord&)> value;
    };
    CardHistoryWindow(int slot, const std::vector<TeamVersion>& versions, const Words& words,
                      bool mayRestore, QWidget* parent = nullptr);

    // What changed from `older` to `newer`, in words (null older: the first).
    static QString describe(const SettingsRecord* older, const SettingsRecord& newer,
                            const Words& words);

    QTableWidget* Versions;
    QPushButton* RestoreBtn;
    QPushButton* CloseBtn;

signals:
    void restore(SettingsRecord record);

private:
    std::vector<TeamVersion> versions_;
};
