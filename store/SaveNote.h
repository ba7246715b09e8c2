#pragma once

// "<file>.saves" beside the database: every save writes there, under the
// lock, a number of its own and the number of the save whose file it merged
// with, the newest first. A look at a few hundred bytes then tells a copy on
// a network mount whether the database changed, where the file's times
// cannot; and the line of saves tells whether a later save built on this
// copy's or was made beside it from the file before, burying it.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

struct SaveNote {
    static constexpr int Size = 1024;
    static constexpr int Kept = 24;
    struct Entry {
        std::uint64_t id = 0;
        std::uint64_t base = 0; // 0: a file no save of ours wrote
        // The check sum of the file the save wrote, where it wrote to a
        // network mount (0 elsewhere): a copy that reads another file under
        // the name (a mount's cache of the name lagging behind a rename)
        // knows it has not read that save's file.
        std::uint32_t sum = 0;
    };
    std::vector<Entry> saves; // the newest first

    static QString fileOf(const QString& target) { return target + QStringLiteral(".saves"); }
    // The note's bytes as they are now; empty where there is none.
    static QByteArray read(const QString& target);
    static std::optional<SaveNote> parse(const QByteArray& bytes);
    QByteArray text() const; // Size bytes
    // Written in place, in one write: the file keeps its name, so that no
    // reader meets it missing.
    // `flush`: synced before it returns (a network mount would otherwise
    // send it after the lock is let go).
    static bool write(const QString& target, const QByteArray& text, unsigned mode,
                      bool flush = false);

    std::uint64_t latest() const { return saves.empty() ? 0 : saves.front().id; }
    // Where the newest save stands to a save `id` that replaced `base`.
    enum class Line {
        Newest,  // it is still the newest save
        BuiltOn, // a later save merged with its file
        Beside,  // a later save merged with the file it replaced: it was buried
        Unknown, // the note does not reach back that far, or was not kept
    };
    Line lineOf(std::uint64_t id, std::uint64_t base) const;
    // A new save's number.
    static std::uint64_t newId();
    static std::uint32_t sumOf(const QByteArray& bytes);
};
