#include "store/Merge.h"
#include "store/CardFields.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

using namespace MergeTable;

SettingsRecord card(const char* name, std::uint32_t code, const char* apn = "m2m") {
    SettingsRecord r;
    r.setCodeUoo(code);
    r.setText(Field::NCardEdit, QString::fromUtf8(name));
    r.setText(Field::APN1Edit, QString::fromLatin1(apn));
    r.setChangeDate(46000.5);
    return r;
}

SettingsRecord edited(SettingsRecord r, const char* remark) {
    r.setText(Field::RemarkEdit, QString::fromUtf8(remark));
    return r;
}

QString name(const QByteArray& table, int i) {
    return row(table, i).text(Field::NCardEdit);
}

// Three tables that start alike: cards in rows 0 to 3, row 4 on free.
struct World {
    QByteArray base = QByteArray(Size, '\0');
    QByteArray mine, file;
    std::vector<ProgrammingStamp> stamps;
    MergeAnswers answers;
    int edited = -1;
    World() {
        for (int i = 0; i < 4; ++i)
            setRow(base, i, card(QByteArray::number(i).constData(), 100u + std::uint32_t(i)));
        mine = file = base;
    }
    // This copy programs row `i` as it holds it.
    void program(int i, std::uint16_t crc) {
        ProgrammingStamp s;
        s.slot = i;
        s.before = row(mine, i);
        s.sent = s.before.sentImage();
        s.crc = crc;
        s.date = 46100.25;
        s.after = s.before;
        s.after.StampProgrammed(crc, s.date);
        setRow(mine, i, s.after);
        stamps.push_back(s);
    }
    MergeResult merge() const { return mergeTables(base, mine, file, stamps, edited, answers); }
};

TEST(Merge, EachRowTakesWhatChangedAndAsksWhatARuleCannotDecide) {
    const struct {
        const char* name;
        std::function<void(World&)> make;
        std::function<void(const World&, const MergeResult&)> check;
    } cases[] = {
        {"each side's own change is kept",
         [](World& w) {
             setRow(w.mine, 0, edited(row(w.base, 0), "A"));
             setRow(w.file, 1, edited(row(w.base, 1), "B"));
             w.file.replace(qint64(2) * SettingsRecord::Size, SettingsRecord::Size,
                            QByteArray(SettingsRecord::Size, '\0')); // B deleted card 2
         },
         [](const World&, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             EXPECT_EQ(row(m.table, 0).text(Field::RemarkEdit), "A");
             EXPECT_EQ(row(m.table, 1).text(Field::RemarkEdit), "B");
             EXPECT_FALSE(usedAt(m.table, 2));
             EXPECT_TRUE(m.undecided.empty());
         }},
        {"one card changed differently is a question about it, with this copy's name",
         [](World& w) {
             setRow(w.mine, 0, edited(row(w.base, 0), "A"));
             setRow(w.file, 0, edited(row(w.base, 0), "B"));
             setRow(w.mine, 3, SettingsRecord()); // deleted here, edited there
             setRow(w.file, 3, edited(row(w.base, 3), "B"));
         },
         [](const World& w, const MergeResult& m) {
             ASSERT_EQ(m.conflicts.size(), 2u);
             EXPECT_EQ(m.conflicts[0].slot, 0);
             EXPECT_EQ(m.conflicts[0].name, "0");
             EXPECT_EQ(m.conflicts[1].name, "3"); // the file's name where this copy deleted
             EXPECT_EQ(m.undecided, (std::vector<int>{0, 3}));
             EXPECT_TRUE(sameRow(m.table, w.mine, 0));
         }},
        {"'No' takes the file's card and, for the card saved, the file's template",
         [](World& w) {
             setRow(w.mine, 0, edited(row(w.base, 0), "A"));
             setRow(w.mine, TemplateRow, row(w.mine, 0).MakeTemplate());
             setRow(w.file, 0, edited(row(w.base, 0), "B"));
             w.edited = 0;
             w.answers.conflicts[0] = {row(w.file, 0), false};
         },
         [](const World& w, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             EXPECT_TRUE(sameRow(m.table, w.file, 0));
             EXPECT_TRUE(sameRow(m.table, w.file, TemplateRow));
         }},
        {"'Yes' keeps this copy's card and its template",
         [](World& w) {
             setRow(w.mine, 0, edited(row(w.base, 0), "A"));
             setRow(w.mine, TemplateRow, row(w.mine, 0).MakeTemplate());
             setRow(w.file, 0, edited(row(w.base, 0), "B"));
             w.edited = 0;
             w.answers.conflicts[0] = {row(w.file, 0), true};
         },
         [](const World& w, const MergeResult& m) {
             EXPECT_TRUE(sameRow(m.table, w.mine, 0));
             EXPECT_TRUE(sameRow(m.table, w.mine, TemplateRow));
         }},
        {"an answer about another version of the file's card is asked again",
         [](World& w) {
             setRow(w.mine, 0, edited(row(w.base, 0), "A"));
             setRow(w.file, 0, edited(row(w.base, 0), "B again"));
             w.answers.conflicts[0] = {edited(row(w.base, 0), "B"), true};
         },
         [](const World&, const MergeResult& m) { EXPECT_EQ(m.conflicts.size(), 1u); }},
        {"two new cards in one free row: the file's stays, this copy's takes the lowest free row",
         [](World& w) {
             setRow(w.mine, 4, card("мой", 204));
             setRow(w.file, 4, card("чужой", 304));
             setRow(w.file, 5, card("ещё", 305));
         },
         [](const World&, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             ASSERT_EQ(m.relocations.size(), 1u);
             EXPECT_EQ(m.relocations[0].from, 4);
             EXPECT_EQ(m.relocations[0].to, 6);
             EXPECT_EQ(m.relocations[0].theirs, "чужой");
             EXPECT_EQ(m.relocations[0].mine, "мой");
             EXPECT_EQ(name(m.table, 4), "чужой");
             EXPECT_EQ(name(m.table, 5), "ещё");
             EXPECT_EQ(name(m.table, 6), "мой");
         }},
        {"a card deleted and another made in its row while this copy edits the first",
         [](World& w) {
             setRow(w.mine, 1, edited(row(w.base, 1), "A"));
             setRow(w.file, 1, card("новый", 500));
         },
         [](const World&, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             ASSERT_EQ(m.relocations.size(), 1u);
             EXPECT_EQ(name(m.table, 1), "новый");
             EXPECT_EQ(row(m.table, 4).text(Field::RemarkEdit), "A");
         }},
        {"a card renamed but keeping its code is the same card: a question",
         [](World& w) {
             SettingsRecord r = row(w.base, 1);
             r.setText(Field::NCardEdit, QStringLiteral("другое"));
             setRow(w.mine, 1, r);
             setRow(w.file, 1, edited(row(w.base, 1), "B"));
         },
         [](const World&, const MergeResult& m) {
             EXPECT_TRUE(m.relocations.empty());
             EXPECT_EQ(m.conflicts.size(), 1u);
         }},
        {"no free row for a card that must move: nothing may be written",
         [](World& w) {
             for (int i = 4; i < SlotCount; ++i)
                 setRow(w.base, i, card("x", 1000u + std::uint32_t(i)));
             w.mine = w.file = w.base;
             setRow(w.mine, 5, card("мой", 77));
             setRow(w.file, 5, card("чужой", 88));
         },
         [](const World& w, const MergeResult& m) {
             EXPECT_TRUE(m.noRoom());
             EXPECT_EQ(m.relocations[0].to, -1);
             EXPECT_TRUE(sameRow(m.table, w.mine, 5));
         }},
        {"another copy's programming goes onto this copy's edit",
         [](World& w) {
             setRow(w.mine, 2, edited(row(w.base, 2), "A"));
             SettingsRecord p = row(w.base, 2);
             p.StampProgrammed(0xB0B0, 46200.0);
             setRow(w.file, 2, p);
         },
         [](const World&, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             EXPECT_EQ(row(m.table, 2).text(Field::RemarkEdit), "A");
             EXPECT_EQ(row(m.table, 2).ProgID1(), 0xB0B0);
         }},
        {"two cards gone at once is asked about, naming the first",
         [](World& w) {
             for (int i : {1, 3})
                 setRow(w.file, i, SettingsRecord());
         },
         [](const World& w, const MergeResult& m) {
             EXPECT_EQ(m.gone, (std::vector<int>{1, 3}));
             EXPECT_EQ(m.firstGoneName, "1");
             EXPECT_TRUE(sameRow(m.table, w.mine, 1));
         }},
        {"one card gone passes", [](World& w) { setRow(w.file, 3, SettingsRecord()); },
         [](const World&, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             EXPECT_FALSE(usedAt(m.table, 3));
         }},
        {"cards gone, answered 'take the file'",
         [](World& w) {
             for (int i : {1, 3})
                 setRow(w.file, i, SettingsRecord());
             w.answers.goneAsked = {1, 3};
             w.answers.acceptGone = true;
         },
         [](const World&, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             EXPECT_FALSE(usedAt(m.table, 1));
             EXPECT_FALSE(usedAt(m.table, 3));
         }},
        {"cards gone, answered 'keep mine'",
         [](World& w) {
             for (int i : {1, 3})
                 setRow(w.file, i, SettingsRecord());
             w.answers.goneAsked = {1, 3};
         },
         [](const World& w, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             EXPECT_TRUE(sameRow(m.table, w.mine, 1));
             EXPECT_TRUE(sameRow(m.table, w.mine, 3));
         }},
        {"a card whose row another card took counts as gone; kept, it moves to a free row",
         [](World& w) {
             setRow(w.file, 1, card("чужой", 900));
             setRow(w.file, 3, SettingsRecord());
             w.answers.goneAsked = {1, 3};
         },
         [](const World& w, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             EXPECT_EQ(name(m.table, 1), "чужой");
             EXPECT_TRUE(sameRow(m.table, w.mine, 3));
             ASSERT_EQ(m.relocations.size(), 1u);
             EXPECT_EQ(m.relocations[0].to, 4);
             EXPECT_TRUE(sameRow(m.table, w.mine, 1) == false);
             EXPECT_EQ(row(m.table, 4), row(w.mine, 1));
         }},
        {"a programming goes onto the card the device received",
         [](World& w) {
             SettingsRecord r = row(w.base, 1);
             r.setProgID1(0x1111);
             setRow(w.base, 1, r);
             w.mine = w.file = w.base;
             w.program(1, 0x2222);
             setRow(w.file, 3, edited(row(w.base, 3), "B")); // something to merge
         },
         [](const World&, const MergeResult& m) {
             const SettingsRecord r = row(m.table, 1);
             EXPECT_EQ(r.ProgID1(), 0x2222);
             EXPECT_EQ(r.ProgID2(), 0x1111);
             EXPECT_EQ(r.ProgDate(), 46100.25);
         }},
        {"a programming goes onto another copy's version the device's settings did not change",
         [](World& w) {
             w.program(1, 0x2222);
             SettingsRecord f = edited(row(w.base, 1), "B");
             f.StampProgrammed(0x3333, 46099.0); // B programmed another device from it
             setRow(w.file, 1, f);
         },
         [](const World&, const MergeResult& m) {
             const SettingsRecord r = row(m.table, 1);
             EXPECT_FALSE(m.needsAnswers());
             EXPECT_EQ(r.text(Field::RemarkEdit), "B");
             EXPECT_EQ(r.ProgID1(), 0x2222);
             EXPECT_EQ(r.ProgID2(), 0x3333);
         }},
        {"a programming of a card changed meanwhile is a question",
         [](World& w) {
             w.program(1, 0x2222);
             setRow(w.file, 1, card("1", 101, "other.apn"));
         },
         [](const World& w, const MergeResult& m) {
             ASSERT_EQ(m.stamps.size(), 1u);
             EXPECT_EQ(m.stamps[0].slot, 1);
             EXPECT_EQ(m.stamps[0].name, "1");
             EXPECT_TRUE(sameRow(m.table, w.mine, 1));
         }},
        {"answered 'the version written into the device'",
         [](World& w) {
             w.program(1, 0x2222);
             setRow(w.file, 1, card("1", 101, "other.apn"));
             w.answers.stamps[1] = {row(w.file, 1), true};
         },
         [](const World& w, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             EXPECT_TRUE(sameRow(m.table, w.mine, 1));
         }},
        {"answered 'the other copy's version': unstamped",
         [](World& w) {
             w.program(1, 0x2222);
             setRow(w.file, 1, card("1", 101, "other.apn"));
             w.answers.stamps[1] = {row(w.file, 1), false};
         },
         [](const World& w, const MergeResult& m) { EXPECT_TRUE(sameRow(m.table, w.file, 1)); }},
        {"the programmed card kept where another copy made a new card moves to a free row",
         [](World& w) {
             w.program(1, 0x2222);
             setRow(w.file, 1, card("новый", 500));
             w.answers.stamps[1] = {row(w.file, 1), true};
         },
         [](const World& w, const MergeResult& m) {
             EXPECT_EQ(name(m.table, 1), "новый");
             ASSERT_EQ(m.relocations.size(), 1u);
             EXPECT_EQ(row(m.table, m.relocations[0].to), row(w.mine, 1));
         }},
        {"a card deleted here after its programming stays all zeros",
         [](World& w) {
             w.program(1, 0x2222);
             setRow(w.mine, 1, SettingsRecord());
             setRow(w.file, 3, edited(row(w.base, 3), "B"));
         },
         [](const World&, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             EXPECT_EQ(row(m.table, 1), SettingsRecord());
         }},
        {"the balance texts a switched-off check keeps from the device do not count",
         [](World& w) {
             SettingsRecord r = row(w.base, 1);
             r.setText(Field::balCodeSim1, QStringLiteral("*100#"));
             setRow(w.base, 1, r);
             w.mine = w.file = w.base;
             w.program(1, 0x2222);
             r.setText(Field::balCodeSim1, QStringLiteral("*102#"));
             setRow(w.file, 1, r);
         },
         [](const World&, const MergeResult& m) {
             EXPECT_FALSE(m.needsAnswers());
             EXPECT_EQ(row(m.table, 1).ProgID1(), 0x2222);
             EXPECT_EQ(row(m.table, 1).text(Field::balCodeSim1), "*102#");
         }},
        {"the template follows the side that changed it",
         [](World& w) { setRow(w.file, TemplateRow, card("", 0, "t.file").MakeTemplate()); },
         [](const World& w, const MergeResult& m) {
             EXPECT_TRUE(sameRow(m.table, w.file, TemplateRow));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World w;
        c.make(w);
        c.check(w, w.merge());
    }
}

} // namespace
