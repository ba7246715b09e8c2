// FindNext over 9000 used cards with a text found nowhere, so that all four
// passes run, against a plain substring scan over the same strings already in
// memory; and one keystroke in the search box as a whole (change, search,
// selection, display of the found card).
#include "app/RecordsModel.h"
#include "app/TForm1.h"
#include "bench/SampleCards.h"
#include "store/CardFields.h"
#include "store/Messenger.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

class QuietMessenger final : public Messenger {
public:
    void inform(const QString&, const QString&) override {}
    bool ask(const QString&, const QString&) override { return false; }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    QTemporaryDir dir;
    SettingsDatabase db;
    db.setFileName(dir.filePath(QStringLiteral("ProgInfo_10.MGA")));
    FillSampleCards(db, SettingsDatabase::SlotCount);
    QuietMessenger messenger;
    (void)db.Save(messenger);
    SettingsDatabase loaded;
    loaded.setFileName(db.fileName());
    TForm1 form(loaded, messenger);

    // The baseline's strings: what the search looks at, already in memory,
    // each in an allocation of its own made in scanning order (the kindest
    // layout for a plain scan).
    std::vector<QString> strings;
    for (int row = 0; row < SettingsDatabase::SlotCount; ++row) {
        for (int c = 0; c < RecordsModel::ColumnCount; ++c) {
            const QString cell = QLocale().toLower(form.recordsModel().cellText(row, c));
            strings.push_back(QString(cell.constData(), cell.size()));
        }
        const SettingsRecord& r = loaded.Slot(row);
        for (const TextField f : {Field::SIM_ID1_Edit, Field::SIM_ID2_Edit, Field::PUK1_Edit,
                                  Field::PUK2_Edit, Field::Number1_Edit, Field::Number2_Edit})
            strings.push_back(r.text(f));
    }
    const QString missing = QStringLiteral("нет-такого");
    {
        const QSignalBlocker quiet(form.SearchEdit);
        form.SearchEdit->setText(missing);
    }

    std::vector<double> base, search;
    for (int round = 0; round < 41; ++round) {
        QElapsedTimer t;
        t.start();
        int hits = 0;
        for (const QString& s : strings)
            hits += s.contains(missing) ? 1 : 0;
        base.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        if (hits != 0)
            return 1;

        form.SearchRow = 4500; // all four passes run
        t.restart();
        form.FindNext();
        search.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    const double b = median(base), s = median(search);
    std::printf("FindNext, no match, 9000 cards: %.2f ms; plain scan of the same strings %.2f ms; "
                "ratio %.2fx\n",
                s, b, s / b);

    // Keystrokes: each one a new text that finds a card somewhere in the list.
    std::vector<double> keys;
    for (int i = 0; i < 400; ++i) {
        const QString text = QStringLiteral("№%1").arg((i * 2221) % 9000 + 1);
        QElapsedTimer t;
        t.start();
        form.SearchEdit->setText(text);
        keys.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    std::printf("one keystroke in the search box (change, search, select, show): median %.2f ms, "
                "99th percentile %.2f ms\n",
                median(keys), percentile(keys, 0.99));

    // "Сохранить изменения" on slot 0 over 9000 used cards (the uniqueness
    // check scans them all), press to file written, against Save alone.
    for (int i = 1; i < SettingsDatabase::SlotCount; ++i) {
        if (loaded.Slot(i).CodeUoo() == 288799)
            loaded.Slot(i).setCodeUoo(5000000);
    }
    loaded.Slot(0).setCodeUoo(288799);
    form.SetsGrid->selectRow(1);
    form.SetsGrid->selectRow(0);
    std::vector<double> saves, plain;
    for (int round = 0; round < 15; ++round) {
        QElapsedTimer t;
        t.start();
        (void)loaded.Save(messenger);
        plain.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        form.BitBtn1->click();
        t.restart();
        form.BitBtn2->click();
        saves.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        if (form.EditMode) {
            std::printf("the card did not pass its checks\n");
            return 1;
        }
    }
    std::printf("save of a card with its checks, 9000 used cards: %.2f ms; Save alone %.2f ms; "
                "ratio %.2fx\n",
                median(saves), median(plain), median(saves) / median(plain));
    return 0;
}
