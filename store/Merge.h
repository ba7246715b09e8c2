#pragma once

#include "store/SettingsRecord.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <map>
#include <vector>

// Merging what several copies of the program saved into one database file.
//
// Tables are in file form: 9000 slots and then the template, 695 bytes each.
// Three of them meet: the base (the file as this copy last loaded, saved or
// took it), this copy's table in memory, and the file as it is now. Row by
// row, what only one side changed since the base wins; what both changed is
// decided here where a rule can decide it, and otherwise handed back as a
// question for the operator. Nothing here opens a file or shows anything.

namespace MergeTable {
inline constexpr int SlotCount = 9000;
inline constexpr int TemplateRow = SlotCount;
inline constexpr qint64 Size = qint64(SlotCount + 1) * SettingsRecord::Size;
SettingsRecord row(const QByteArray& table, int i);
void setRow(QByteArray& table, int i, const SettingsRecord& r);
bool sameRow(const QByteArray& a, const QByteArray& b, int i);
bool usedAt(const QByteArray& table, int i);
// A file's bytes as a table, as the loader reads them: any whole number of
// blocks, the last one the template, the rows it lacks free. Empty for any
// other length.
QByteArray fromFile(const QByteArray& raw);
// Two used versions of one row hold two different cards when they share
// neither the code nor the card name.
bool differentCards(const SettingsRecord& a, const SettingsRecord& b);
} // namespace MergeTable

// A programming this copy made that no save has written yet.
struct ProgrammingStamp {
    int slot = -1;
    SettingsRecord before; // the card as programmed, before its stamp
    SettingsRecord after;  // the same card stamped
    std::array<std::uint8_t, SettingsRecord::DeviceImageSize> sent{}; // what the device received
    std::uint16_t crc = 0;
    double date = 0;
};

// The operator's answers. Each is bound to the file's version of the row it
// was asked about: when the file's version changes again, so does the
// question.
struct MergeAnswers {
    struct Answer {
        SettingsRecord fileVersion;
        bool keepMine = false;
    };
    std::map<int, Answer> conflicts; // keepMine: this copy's version of the card
    std::map<int, Answer> stamps;    // keepMine: the version the device received, stamped
    std::vector<int> goneAsked;      // the rows the question about cards gone named
    bool acceptGone = false;         // true: the file as it is
};

struct MergeResult {
    // The merged table. Rows whose question is still open hold this copy's
    // version; so do rows whose cards the file lost when that is still asked.
    QByteArray table;

    struct Question {
        int slot;
        QString name; // the card's name, as this copy knows it
        SettingsRecord fileVersion;
    };
    // Both copies changed one card differently, or one deleted it.
    std::vector<Question> conflicts;
    // A programming whose card the file holds no longer as it was sent.
    std::vector<Question> stamps;
    // Two new cards in one row: the file's stays, this copy's moves to `to`
    // (-1: no row is free, and nothing may be written).
    struct Relocation {
        int from;
        int to;
        QString theirs;
        QString mine;
    };
    std::vector<Relocation> relocations;
    // Two or more cards this copy holds unchanged that the file no longer
    // has, lowest row first; empty once answered (or for a single one).
    std::vector<int> gone;
    QString firstGoneName;
    // Rows left as this copy holds them because a question is open or a
    // card could not move: a take keeps its base there.
    std::vector<int> undecided;

    bool needsAnswers() const { return !conflicts.empty() || !stamps.empty() || !gone.empty(); }
    bool noRoom() const;
};

// `editedSlot`: the card this save saves from the editor, whose template
// this copy's table holds (-1: none); when the operator keeps the file's
// version of that card, the file's template stays too.
MergeResult mergeTables(const QByteArray& base, const QByteArray& mine, const QByteArray& file,
                        const std::vector<ProgrammingStamp>& stamps, int editedSlot,
                        const MergeAnswers& answers);
