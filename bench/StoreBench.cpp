// Load and Save of a full 9000-card table against plain reads and writes of
// the same 6,255,695 bytes in the same run.
#include "platform/Process.h"
#include "store/Backup.h"
#include "store/Messenger.h"
#include "store/SettingsDatabase.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

QByteArray ReadFileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class SilentMessenger final : public Messenger {
public:
    void inform(const QString&, const QString&) override { std::abort(); }
    bool ask(const QString&, const QString&) override { return false; }
};

struct Files {
    Files() {
        path = dir.filePath(QStringLiteral("ProgInfo_10.MGA"));
        plain = QFile::encodeName(dir.filePath(QStringLiteral("plain.bin"))).toStdString();
        SettingsDatabase db;
        db.setFileName(path);
        for (int i = 0; i < SettingsDatabase::SlotCount; ++i) {
            SettingsRecord& r = db.Slot(i);
            for (int b = 0; b < SettingsRecord::Size; ++b)
                r.data()[b] = static_cast<std::uint8_t>(b + i);
            r.setChangeDate(46000.5 + i);
        }
        SilentMessenger m;
        (void)db.Save(m);
    }
    QTemporaryDir dir;
    QString path;
    std::string plain;
};

Files& files() {
    static Files f;
    return f;
}

void BM_ReadBaseline(benchmark::State& state) {
    const std::string name = QFile::encodeName(files().path).toStdString();
    std::vector<char> buffer(SettingsDatabase::FileSize);
    for (auto _ : state) {
        const int fd = ::open(name.c_str(), O_RDONLY);
        size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::read(fd, buffer.data() + done, buffer.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        ::close(fd);
        benchmark::DoNotOptimize(buffer.data());
    }
}

void BM_Load(benchmark::State& state) {
    SettingsDatabase db;
    db.setFileName(files().path);
    for (auto _ : state) {
        const bool ok = db.Load();
        benchmark::DoNotOptimize(ok);
    }
}

void BM_WriteSyncBaseline(benchmark::State& state) {
    std::vector<char> buffer(SettingsDatabase::FileSize, 'x');
    for (auto _ : state) {
        const int fd = ::open(files().plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::write(fd, buffer.data() + done, buffer.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        ::fsync(fd);
        ::close(fd);
    }
}

void BM_Save(benchmark::State& state) {
    SettingsDatabase db;
    db.setFileName(files().path);
    (void)db.Load();
    SilentMessenger m;
    for (auto _ : state) {
        const bool ok = db.Save(m);
        benchmark::DoNotOptimize(ok);
        // The backup of the replaced file is made after the save returns; it
        // is waited for outside the save's time (BM_Backup measures it).
        state.PauseTiming();
        db.backups().wait();
        state.ResumeTiming();
    }
}

// A save that finds another copy's save in the file and merges it.
void BM_SaveMerging(benchmark::State& state) {
    SettingsDatabase db, other;
    db.setFileName(files().path);
    other.setFileName(files().path);
    (void)db.Load();
    (void)other.Load();
    SilentMessenger m;
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        other.Slot(8000 + round % 500).setChangeDate(47000.0 + round);
        (void)other.Save(m);
        other.backups().wait();
        db.Slot(round % 500).setChangeDate(47000.0 + round);
        ++round;
        state.ResumeTiming();
        const bool ok = db.Save(m);
        benchmark::DoNotOptimize(ok);
        state.PauseTiming();
        db.backups().wait();
        (void)other.takeFileChanges();
        state.ResumeTiming();
    }
}

// Keeping the replaced 6 MB table: gzip, write, sync, rename.
void BM_Backup(benchmark::State& state) {
    const QByteArray table = ReadFileBytes(files().path);
    BackupKeeper keeper;
    for (auto _ : state) {
        keeper.keep(files().path, table, 0600);
        keeper.wait();
    }
}

BENCHMARK(BM_ReadBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteSyncBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Save)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SaveMerging)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Backup)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

// As the program starts: the allocator keeps freed tables for reuse.
int main(int argc, char** argv) {
    platform::keepFreedMemoryForReuse();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
