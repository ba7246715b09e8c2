#pragma once

#include "store/AtomicFile.h"
#include "store/CardFields.h"
#include "store/Messenger.h"
#include "store/SettingsDatabase.h"

#include <QFile>
#include <QIODevice>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

// A card with just a name and a code, used and dated.
inline SettingsRecord NamedCard(const QString& name, std::uint32_t code) {
    SettingsRecord r;
    r.setCodeUoo(code);
    r.setText(Field::NCardEdit, name);
    r.setChangeDate(46000.5);
    return r;
}

// Records every box the program shows and answers questions from a script
// (No once the script runs out).
class ScriptedMessenger final : public Messenger {
public:
    struct Box {
        QString caption;
        QString text;
        bool question;
        bool error = false;
    };
    void inform(const QString& caption, const QString& text) override {
        boxes.push_back({caption, text, false});
        if (whileOpen)
            whileOpen(boxes.back());
    }
    void error(const QString& caption, const QString& text) override {
        boxes.push_back({caption, text, false, true});
    }
    bool ask(const QString& caption, const QString& text) override {
        boxes.push_back({caption, text, true});
        if (whileOpen)
            whileOpen(boxes.back());
        if (answers.empty())
            return false;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<Box> boxes;
    std::deque<bool> answers;
    // What happens elsewhere while a box is open.
    std::function<void(const Box&)> whileOpen;
};

// A write-only device that accepts `capacity` bytes and then fails, as a full
// disk does.
class FailingWriter final : public QIODevice {
public:
    explicit FailingWriter(qint64 capacity) : capacity_(capacity) { open(QIODevice::WriteOnly); }
    QByteArray written;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override {
        const qint64 room = capacity_ - written.size();
        if (room <= 0)
            return -1;
        const qint64 n = std::min(room, size);
        written.append(data, n);
        return n;
    }

private:
    qint64 capacity_;
};

// A device that claims `length` bytes but hands over only `data`, as a file
// that shrinks while it is read.
class ShortReader final : public QIODevice {
public:
    explicit ShortReader(QByteArray data) : data_(std::move(data)) { open(QIODevice::ReadOnly); }

protected:
    qint64 readData(char* into, qint64 max) override {
        const qint64 n = std::min<qint64>(max, data_.size() - pos_);
        if (n <= 0)
            return 0;
        std::memcpy(into, data_.constData() + pos_, static_cast<size_t>(n));
        pos_ += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray data_;
    qint64 pos_ = 0;
};

// The real system calls, except that the chosen step fails on its n-th call.
class FaultyCalls final : public FileSystemCalls {
public:
    enum Step { None, CreateTemp, Write, Fsync, Close, Rename, SyncDirectory, ChangeMode };
    Step failStep = None;
    int failOnCall = 1; // 1 = the first call of that step
    int writeCalls = 0;
    int errnoValue = EIO;

    int createTemp(std::string& pattern) override {
        return hit(CreateTemp) ? -1 : FileSystemCalls::createTemp(pattern);
    }
    long long write(int fd, const void* data, std::size_t size) override {
        ++writeCalls;
        if (hit(Write))
            return -1;
        // Small pieces, so that a failure can strike in the middle of the table.
        return FileSystemCalls::write(fd, data, std::min<std::size_t>(size, 1 << 20));
    }
    int fsync(int fd) override { return hit(Fsync) ? -1 : FileSystemCalls::fsync(fd); }
    int close(int fd) override {
        const int rc = FileSystemCalls::close(fd);
        return hit(Close) ? -1 : rc;
    }
    int rename(const char* from, const char* to) override {
        return hit(Rename) ? -1 : FileSystemCalls::rename(from, to);
    }
    int syncDirectory(const char* dir) override {
        return hit(SyncDirectory) ? -1 : FileSystemCalls::syncDirectory(dir);
    }
    int takeAccessOf(int fd, const char* like, const platform::FileStatus& st) override {
        return hit(ChangeMode) ? -1 : FileSystemCalls::takeAccessOf(fd, like, st);
    }

private:
    bool hit(Step s) {
        if (s != failStep)
            return false;
        if (++seen_[s] != failOnCall)
            return false;
        errno = errnoValue;
        return true;
    }
    int seen_[8] = {};
};

// A table with a few distinct used cards and a template, for round trips.
inline void FillSample(SettingsDatabase& db, int used, int seed = 1) {
    for (int i = 0; i < used; ++i) {
        SettingsRecord& r = db.Slot(i * 37 % SettingsDatabase::SlotCount);
        for (int b = 0; b < 260; ++b)
            r.data()[b] = static_cast<std::uint8_t>((b * 7 + i + seed) & 0x7F);
        r.setText(Field::NCardEdit, QString::number(1000 + i));
        r.setText(Field::Edit1, QStringLiteral("Объект %1").arg(i));
        r.setChangeDate(46000.5 + i + seed);
    }
    db.Template() = db.Slot(0).MakeTemplate();
}

inline QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

inline bool WriteAll(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}
