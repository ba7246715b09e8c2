// Writes ProgInfo_10.MGA with the given number of used cards (9000 unless
// told), every text field filled, for benchmarks and screenshots.
#include "bench/SampleCards.h"
#include "store/DateTime.h"
#include "store/Messenger.h"
#include "store/SettingsDatabase.h"

#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace {

class PrintingMessenger final : public Messenger {
public:
    void inform(const QString& caption, const QString& text) override {
        std::fprintf(stderr, "%s: %s\n", qPrintable(caption), qPrintable(text));
    }
    bool ask(const QString&, const QString&) override { return false; }
};

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : SettingsDatabase::SlotCount;
    SettingsDatabase db;
    FillSampleCards(db, count);
    PrintingMessenger m;
    return db.Save(m) ? 0 : 1;
}
