// Finding the card of a frame read back among 9000 programmed cards, against a
// plain scan of the 9000 ProgID1 values in the same run.
#include "link/ConfigFrame.h"
#include "store/CardFields.h"
#include "store/DeviceMatch.h"
#include "store/SettingsDatabase.h"

#include <QRandomGenerator>

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Programmed {
    std::unique_ptr<SettingsDatabase> db = std::make_unique<SettingsDatabase>();
    std::vector<ConfigFrame> frames; // one read back from every tenth card
};

const Programmed& programmed() {
    static const Programmed p = [] {
        Programmed out;
        QRandomGenerator random(9000);
        for (int slot = 0; slot < SettingsDatabase::SlotCount; ++slot) {
            SettingsRecord& card = out.db->Slot(slot);
            card.setCodeUoo(static_cast<std::uint32_t>(32000 * (slot / 800) + slot % 800));
            card.setText(Field::NCardEdit, QString::number(slot));
            card.setText(Field::APN1Edit, QStringLiteral("internet"));
            card.setChangeDate(46000.5);
            ConfigFrame frame{};
            std::uint16_t crc = 0;
            BuildConfigFrame(&card, frame.data(), &crc, 0, random);
            card.StampProgrammed(crc, 46001.0);
            if (slot % 10 == 0)
                out.frames.push_back(frame);
        }
        return out;
    }();
    return p;
}

void BM_MatchDevice(benchmark::State& state) {
    const Programmed& p = programmed();
    std::size_t i = 0;
    for (auto _ : state) {
        const ConfigFrame& frame = p.frames[i++ % p.frames.size()];
        benchmark::DoNotOptimize(matchDevice(*p.db, frame.data()));
    }
}

// A device the database does not know: every card is looked at.
void BM_MatchUnknownDevice(benchmark::State& state) {
    const Programmed& p = programmed();
    ConfigFrame frame = p.frames.front();
    const std::uint32_t stranger = 999999;
    std::memcpy(frame.data() + Offset::CodeUoo, &stranger, sizeof stranger);
    for (auto _ : state)
        benchmark::DoNotOptimize(matchDevice(*p.db, frame.data()));
}

// What any lookup must at least do: look at every card's identifier once.
void BM_ScanProgIdBaseline(benchmark::State& state) {
    const Programmed& p = programmed();
    std::size_t i = 0;
    for (auto _ : state) {
        const ConfigFrame& frame = p.frames[i++ % p.frames.size()];
        const auto crc = static_cast<std::uint16_t>(frame[262] | frame[263] << 8);
        int found = -1;
        for (int slot = 0; slot < SettingsDatabase::SlotCount; ++slot)
            if (p.db->Slot(slot).ProgID1() == crc && found < 0)
                found = slot;
        benchmark::DoNotOptimize(found);
    }
}

BENCHMARK(BM_ScanProgIdBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MatchDevice)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MatchUnknownDevice)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
