// A whole programming job from the press to the saved file, against the sum
// of the sleeps its exchange must make; and the time from a press of
// "Остановить" to the idle window and to the job's end.
#include "app/TForm1.h"
#include "bench/SampleCards.h"
#include "emulator/SimulatedDevice.h"
#include "link/Clock.h"
#include "store/Messenger.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

namespace {

class QuietMessenger final : public Messenger {
public:
    void inform(const QString&, const QString&) override {}
    bool ask(const QString&, const QString&) override { return false; }
};

class CountingClock final : public Clock {
public:
    std::uint32_t TickCount() override { return real_.TickCount(); }
    void Sleep(std::uint32_t ms) override {
        slept += ms;
        real_.Sleep(ms);
    }
    std::atomic<std::uint64_t> slept{0};

private:
    SteadyClock real_;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    SettingsDatabase db;
    db.setFileName(dir.filePath(QStringLiteral("ProgInfo_10.MGA")));
    FillSampleCards(db, SettingsDatabase::SlotCount);
    QuietMessenger messenger;
    CountingClock clock;
    auto device = std::make_shared<SimulatedDevice>(clock);
    TForm1 form(db, messenger);
    form.setClock(clock);
    form.setLogPath(dir.filePath(QStringLiteral("ProgLog.log")));
    form.setCableFactory([device] { return device; });

    std::vector<double> ratios, walls, floors;
    for (int run = 0; run < 15; ++run) {
        clock.slept = 0;
        QElapsedTimer t;
        t.start();
        form.ProgBtn->click();
        while (form.ProgJob)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        const double wall = static_cast<double>(t.nsecsElapsed()) / 1e6;
        const double floor = static_cast<double>(clock.slept.load());
        walls.push_back(wall);
        floors.push_back(floor);
        ratios.push_back(wall / floor);
    }
    std::printf("programming job, press to saved file: median %.1f ms, floor (sleeps) %.1f ms, "
                "ratio %.3fx (worst %.3fx)\n",
                median(walls), median(floors), median(ratios),
                *std::max_element(ratios.begin(), ratios.end()));

    DeviceScript silent;
    silent.silent = true;
    device->setScript(silent);
    std::vector<double> toIdle, toEnd;
    for (int run = 0; run < 15; ++run) {
        form.ProgBtn->click();
        QElapsedTimer wait;
        wait.start();
        while (wait.elapsed() < 100)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        QElapsedTimer t;
        t.start();
        form.ProgBtn->click(); // "Остановить"
        toIdle.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        while (form.ProgJob)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        toEnd.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    std::printf("stop: window idle after %.2f ms (median), job ended and cable free after %.1f ms "
                "(median), %.1f ms (worst)\n",
                median(toIdle), median(toEnd), *std::max_element(toEnd.begin(), toEnd.end()));
    return 0;
}
