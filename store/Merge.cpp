#include "store/Merge.h"

#include "store/CardFields.h"

#include <algorithm>
#include <cstring>

namespace MergeTable {

SettingsRecord row(const QByteArray& table, int i) {
    SettingsRecord r;
    std::memcpy(r.data(), table.constData() + qint64(i) * SettingsRecord::Size,
                SettingsRecord::Size);
    return r;
}

void setRow(QByteArray& table, int i, const SettingsRecord& r) {
    std::memcpy(table.data() + qint64(i) * SettingsRecord::Size, r.data(), SettingsRecord::Size);
}

bool sameRow(const QByteArray& a, const QByteArray& b, int i) {
    const qint64 at = qint64(i) * SettingsRecord::Size;
    return std::memcmp(a.constData() + at, b.constData() + at, SettingsRecord::Size) == 0;
}

bool usedAt(const QByteArray& table, int i) {
    double date;
    std::memcpy(&date, table.constData() + qint64(i) * SettingsRecord::Size + Offset::ChangeDate,
                sizeof date);
    return date >= SettingsRecord::UsedThreshold;
}

QByteArray fromFile(const QByteArray& raw) {
    constexpr qint64 B = SettingsRecord::Size;
    if (raw.isEmpty() || raw.size() % B != 0)
        return {};
    if (raw.size() == Size)
        return raw;
    QByteArray table(Size, '\0');
    const qint64 records = std::min<qint64>(raw.size() / B - 1, SlotCount);
    std::memcpy(table.data(), raw.constData(), std::size_t(records * B));
    std::memcpy(table.data() + qint64(SlotCount) * B, raw.constData() + records * B, B);
    return table;
}

bool differentCards(const SettingsRecord& a, const SettingsRecord& b) {
    return a.CodeUoo() != b.CodeUoo() && a.bytes(Field::NCardEdit) != b.bytes(Field::NCardEdit);
}

} // namespace MergeTable

using namespace MergeTable;

bool MergeResult::noRoom() const {
    return std::any_of(relocations.begin(), relocations.end(),
                       [](const Relocation& r) { return r.to < 0; });
}

namespace {

// Whether two versions of a card differ in their programming stamp only.
bool onlyStampDiffers(SettingsRecord a, const SettingsRecord& b) {
    a.setProgDate(b.ProgDate());
    a.setProgID1(b.ProgID1());
    a.setProgID2(b.ProgID2());
    return a == b;
}

SettingsRecord withStampOf(SettingsRecord r, const SettingsRecord& from) {
    r.setProgDate(from.ProgDate());
    r.setProgID1(from.ProgID1());
    r.setProgID2(from.ProgID2());
    return r;
}

// The programmings of one slot that this copy's version of it still
// carries: the last ones in a row, each made on the card the one before
// left, the newest on the card the table holds now. Older ones were
// overtaken by an edit or a deletion since, which carries them itself.
std::vector<const ProgrammingStamp*> carriedStamps(const std::vector<ProgrammingStamp>& stamps,
                                                   int slot, const SettingsRecord& now) {
    std::vector<const ProgrammingStamp*> chain;
    const SettingsRecord* expected = &now;
    for (auto s = stamps.rbegin(); s != stamps.rend(); ++s) {
        if (s->slot != slot)
            continue;
        if (!(s->after == *expected))
            break;
        chain.push_back(&*s);
        expected = &s->before;
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
}

bool answered(const std::map<int, MergeAnswers::Answer>& answers, int slot,
              const SettingsRecord& fileVersion, bool* keepMine) {
    const auto a = answers.find(slot);
    if (a == answers.end() || !(a->second.fileVersion == fileVersion))
        return false;
    *keepMine = a->second.keepMine;
    return true;
}

} // namespace

MergeResult mergeTables(const QByteArray& base, const QByteArray& mine, const QByteArray& file,
                        const std::vector<ProgrammingStamp>& stamps, int editedSlot,
                        const MergeAnswers& answers) {
    MergeResult out;
    // This copy's own programmings are no change of its cards: each stamped
    // row is merged as it was programmed, and the stamp goes on afterwards.
    QByteArray me = mine;
    std::map<int, std::vector<const ProgrammingStamp*>> chains;
    for (const ProgrammingStamp& s : stamps) {
        if (chains.count(s.slot))
            continue;
        auto chain = carriedStamps(stamps, s.slot, row(mine, s.slot));
        if (chain.empty())
            continue;
        setRow(me, s.slot, chain.front()->before);
        chains.emplace(s.slot, std::move(chain));
    }
    out.table = me;

    bool templateFromFile = false;
    std::vector<int> twoCards;
    std::vector<int> gone;
    for (int i = 0; i < SlotCount; ++i) {
        if (sameRow(file, base, i))
            continue; // nothing new in the file: this copy's version
        const SettingsRecord f = row(file, i);
        const bool mineChanged = !sameRow(me, base, i);
        if (!mineChanged || sameRow(me, file, i)) {
            setRow(out.table, i, f);
            // A card this copy holds that the file has not: deleted, or
            // another card in its row.
            if (!mineChanged) {
                const SettingsRecord b = row(base, i);
                if (b.IsUsed() && (!f.IsUsed() || differentCards(b, f)))
                    gone.push_back(i);
            }
            continue;
        }
        const SettingsRecord b = row(base, i);
        const SettingsRecord m = row(me, i);
        // Another copy's programming is no conflict: its stamp goes onto
        // this copy's version.
        if (onlyStampDiffers(f, b) && m.IsUsed() && !differentCards(m, b)) {
            setRow(out.table, i, withStampOf(m, f));
            continue;
        }
        if (m.IsUsed() && f.IsUsed() && (!b.IsUsed() || differentCards(m, f))) {
            twoCards.push_back(i);
            setRow(out.table, i, f);
            continue;
        }
        bool keepMine = false;
        if (answered(answers.conflicts, i, f, &keepMine)) {
            if (!keepMine) {
                setRow(out.table, i, f);
                templateFromFile = templateFromFile || i == editedSlot;
            }
            continue;
        }
        // This copy's name for the card, or the file's where this copy deleted it.
        out.conflicts.push_back({i, (m.IsUsed() ? m : f).text(Field::NCardEdit), f});
        out.undecided.push_back(i);
    }

    // Several cards gone at once is a replaced or damaged file as often as
    // another copy's work: the operator decides. One passes. Kept, a card
    // whose row holds another card now moves to a free row.
    if (gone.size() >= 2) {
        const bool asked = answers.goneAsked == gone;
        if (!asked) {
            out.gone = gone;
            out.firstGoneName = row(me, gone.front()).text(Field::NCardEdit);
        }
        for (int i : gone) {
            if (!asked) {
                out.undecided.push_back(i);
            } else if (!answers.acceptGone) {
                if (usedAt(file, i))
                    twoCards.push_back(i);
                else
                    setRow(out.table, i, row(me, i));
            }
        }
        std::sort(twoCards.begin(), twoCards.end());
    }

    // Two new cards in one row: the file's stays, this copy's takes the
    // lowest row free in both tables.
    std::vector<int> moved(SlotCount, -1);
    int candidate = 0;
    const auto freeRow = [&] {
        while (candidate < SlotCount &&
               (usedAt(me, candidate) || usedAt(file, candidate) || usedAt(out.table, candidate)))
            ++candidate;
        return candidate < SlotCount ? candidate++ : -1;
    };
    for (int i : twoCards) {
        const SettingsRecord m = row(me, i);
        const int to = freeRow();
        out.relocations.push_back(
            {i, to, row(file, i).text(Field::NCardEdit), m.text(Field::NCardEdit)});
        if (to >= 0) {
            setRow(out.table, to, m);
            moved[static_cast<std::size_t>(i)] = to;
        } else {
            out.undecided.push_back(i);
        }
    }

    // The template: made from the card this save saves, unless the operator
    // gave that card up for the file's version; this copy's where it saved
    // one before; else the file's.
    const bool mineTemplate = editedSlot >= 0 || !sameRow(me, base, TemplateRow);
    if (!mineTemplate || templateFromFile)
        setRow(out.table, TemplateRow, row(file, TemplateRow));

    // A stamp says which card a device holds: it goes only onto a card that
    // the device received as it is now.
    for (const auto& [slot, chain] : chains) {
        const int at = moved[static_cast<std::size_t>(slot)] >= 0
                           ? moved[static_cast<std::size_t>(slot)]
                           : slot;
        if (std::find(out.undecided.begin(), out.undecided.end(), at) != out.undecided.end())
            continue;
        SettingsRecord r = row(out.table, at);
        bool fits = true;
        for (const ProgrammingStamp* s : chain) {
            if (!r.IsUsed() || r.sentImage() != s->sent) {
                fits = false;
                break;
            }
            r.setProgDate(s->date);
            r.setProgID2(r.ProgID1());
            r.setProgID1(s->crc);
        }
        if (fits) {
            setRow(out.table, at, r);
            continue;
        }
        const SettingsRecord f = row(file, slot);
        bool keepProgrammed = false;
        if (answered(answers.stamps, slot, f, &keepProgrammed)) {
            const SettingsRecord& programmed = chain.back()->after;
            const SettingsRecord there = row(out.table, at);
            if (!keepProgrammed)
                continue;
            if (!there.IsUsed() || !differentCards(there, programmed)) {
                setRow(out.table, at, programmed);
                continue;
            }
            // Another card took the row meanwhile: it stays, and the card
            // the device holds goes to a free row.
            const int to = freeRow();
            out.relocations.push_back(
                {at, to, there.text(Field::NCardEdit), programmed.text(Field::NCardEdit)});
            if (to >= 0)
                setRow(out.table, to, programmed);
            else
                out.undecided.push_back(at);
            continue;
        }
        out.stamps.push_back({slot, chain.back()->after.text(Field::NCardEdit), f});
        out.undecided.push_back(at);
    }

    // What is still open stays as this copy holds it.
    std::sort(out.undecided.begin(), out.undecided.end());
    out.undecided.erase(std::unique(out.undecided.begin(), out.undecided.end()),
                        out.undecided.end());
    for (int i : out.undecided)
        setRow(out.table, i, row(mine, i));
    return out;
}
