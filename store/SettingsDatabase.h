#pragma once

#include "platform/FileSystem.h"
#include "store/DatabaseLock.h"
#include "store/Merge.h"
#include "store/SaveNote.h"
#include "store/SettingsRecord.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

class BackupKeeper;
class FileSystemCalls;
class Messenger;
class QIODevice;

// The whole card store: 9000 slots and the template, held in memory for the
// life of the program and mirrored in one file of 9001 blocks of 695 bytes.
//
// Several copies of the program may share the file. Each remembers the
// file's content as it last loaded, saved or took it (its base); a save takes
// a record lock on "<file>.lock" beside it, reads the file afresh and writes,
// slot by slot, this copy's version where this copy changed the slot since
// its base and the file's version everywhere else. A slot both changed
// differently is a question for the operator, asked without the lock held.
class SettingsDatabase {
public:
    static constexpr int SlotCount = 9000;
    static constexpr qint64 FileSize = qint64(SlotCount + 1) * SettingsRecord::Size;
    static constexpr const char* DefaultFileName = "ProgInfo_10.MGA";

    SettingsDatabase();
    ~SettingsDatabase();
    SettingsDatabase(const SettingsDatabase&) = delete;
    SettingsDatabase& operator=(const SettingsDatabase&) = delete;

    const QString& fileName() const { return fileName_; }
    // The file the name finally leads to, through any links; empty for a loop.
    QString finalPath() const;
    void setFileName(const QString& name) { fileName_ = name; }

    // What Load found under the file's name.
    struct LoadReport {
        enum Kind { Loaded, Missing, Empty, Unreadable, WrongLength, NotRegular };
        Kind kind = Missing;
        QString reason;    // Unreadable: the system's reason
        qint64 length = 0; // WrongLength: the file's length in bytes
        QString keptAs;    // WrongLength: the path of the copy kept beside it
    };

    // Reads the file. A missing file, a length of 0 or not a multiple of 695
    // loads nothing; a short read keeps what was read. True only when the
    // template was read whole. A file that exists but cannot be read whole,
    // or is not a regular file, is never replaced by a save for the rest of
    // the run; one of a length the format rejects is first copied aside.
    [[nodiscard]] bool Load();
    const LoadReport& loadReport() const { return report_; }
    bool mayReplaceFile() const { return !fileOffLimits_; }
    [[nodiscard]] bool loadFrom(QIODevice& device, qint64 length);

    // Replaces the file with all 9000 slots and the template, atomically,
    // merged with what other copies saved meanwhile. On failure shows "Ошибка
    // записи на диск", leaves the file as it was and keeps every card in
    // memory. Every version written is kept as a backup, and so is a
    // version replaced that no backup holds.
    //
    // Where the merge needs the operator (MergeResult::needsAnswers), or a
    // card of this copy's finds no free row, nothing is written and memory
    // stays as it was: the caller asks and saves again with the answers.
    // ReadOnly: a copy that works alone holds the database (heldBy()).
    enum SaveResult { Saved, Failed, Refused, Asking, NoRoom, ReadOnly };
    struct SaveOutcome {
        SaveResult result = Failed;
        MergeResult merge; // the questions, or the cards moved to another row
        // Cards of this copy's earlier save that another copy's save had
        // buried, written again by this one.
        std::vector<int> rewritten;
    };
    // Looks at the table about to be written; false refuses the save:
    // nothing is written and memory stays as it was.
    using Accept = std::function<bool(const SettingsDatabase& merged, const MergeResult& merge)>;
    // `editedSlot`: the card whose save made the template in memory.
    [[nodiscard]] SaveOutcome saveMerged(Messenger& messenger, const MergeAnswers& answers = {},
                                         const Accept& accept = {}, int editedSlot = -1);
    // A save that asks nothing: true only when written.
    [[nodiscard]] bool Save(Messenger& messenger) { return saveMerged(messenger).result == Saved; }
    // The file as it is on disk now, if it may have changed since this copy
    // last read or wrote it; a cheap look, for a periodic check.
    bool fileMayHaveChanged() const;
    // Takes what other copies saved into the file since this copy's base,
    // keeping this copy's own unsaved changes (a card both changed waits for
    // the next save, which asks). Two or more cards gone from the file at
    // once are not taken without the operator's answer: `gone` names them,
    // and the take is made again with the answer (a "no" is a save).
    struct TakeOutcome {
        bool taken = false; // false: nothing to take, or the answer first
        std::vector<int> gone;
        QString firstGoneName;
        // Cards this copy saved that another copy's save put back to the
        // version they replaced: this copy's version is kept in memory, to
        // be written by the next save.
        std::vector<int> buried;
    };
    [[nodiscard]] TakeOutcome takeFileChanges(const MergeAnswers& answers = {});
    // Another source of other copies' changes beside the file (a team
    // database): its table as this copy last agreed with it (`base`) and as
    // it is now (`theirs`), in file form with this copy's template. Merged
    // as a file's save is; the rows that come in are this copy's changes
    // against the file from then on, for the next save to write. Where the
    // merge needs answers, or a card finds no free row, memory stays as it
    // was. Nothing is written here.
    MergeResult mergeFromSource(const QByteArray& base, const QByteArray& theirs,
                                const std::vector<ProgrammingStamp>& stamps,
                                const MergeAnswers& answers);
    // The same for rows only the other source changed (this copy's version
    // of each is still `base`'s): they are put in memory as they are, as
    // the merge would, without building whole tables. Redrawn as any take.
    void takeRowsFromSource(const std::vector<std::pair<int, SettingsRecord>>& rows);
    // A save of what another source brought in: as saveMerged, without
    // keeping a backup (that source keeps every version).
    [[nodiscard]] SaveOutcome saveTaken(Messenger& messenger);
    // The table in memory in file form, 9000 slots and the template.
    QByteArray table() const { return tableBytes(); }
    // The programming StampProgrammed made last.
    const ProgrammingStamp& lastStamp() const { return stamps_.back(); }
    // The slots whose content in memory the last save, take or restore
    // changed (another copy's work), for redrawing; and the template.
    const std::vector<int>& changedSlots() const { return changed_; }
    bool templateChanged() const { return templateChanged_; }
    // Puts a backup's table in place of a database that is missing, empty
    // or was kept aside unread, unless another copy has meanwhile written a
    // whole file, which is then loaded instead. The cards are in memory
    // either way; a failed write says so.
    enum class RestoreResult { Restored, AlreadyRestored, Failed };
    [[nodiscard]] RestoreResult restore(const QByteArray& table, Messenger& messenger);
    // Stamps a programmed card: its date and identifiers. The stamp goes
    // into the file only onto a version of the card that the device
    // received as it is; otherwise the save asks.
    void StampProgrammed(int slot, std::uint16_t frameCrc, double now);
    // The copy that holds the database for its whole run, where this copy
    // found one (it then saves nothing): the folder is on a file system
    // where copies cannot share it safely, and that copy was there first.
    const std::optional<LeaseHolder>& heldBy() const { return heldBy_; }
    // Whether that copy holds it still, as its lease says now.
    bool heldElsewhere();
    // Called with true while a save waits for another copy's lock, then false.
    std::function<void(bool waiting)> onWaiting;
    // Where the versions a save replaces are kept.
    BackupKeeper& backups();
    // The lock file of a database whose final path is `target`.
    static QString lockFileOf(const QString& target) { return target + QStringLiteral(".lock"); }
    // Writes the 9001 blocks; false when the device takes fewer bytes.
    [[nodiscard]] bool writeTo(QIODevice& device) const;

    // A card to change: the base keeps the card as it was before its first
    // change (reading through the const overload keeps nothing).
    SettingsRecord& Slot(int i) {
        keepBase(i);
        return slots_[static_cast<std::size_t>(i)];
    }
    const SettingsRecord& Slot(int i) const { return slots_[static_cast<std::size_t>(i)]; }
    // The first slot not in use; -1 when every slot is.
    int firstFreeSlot() const;
    SettingsRecord& Template() {
        keepBase(TemplateRow);
        return template_;
    }
    const SettingsRecord& Template() const { return template_; }
    std::span<const SettingsRecord> allSlots() const { return slots_; }

    // Tests make single steps of the save fail through these calls.
    void setFileSystemCalls(FileSystemCalls* calls) { calls_ = calls; }

private:
    bool loadFile();
    // Removes what killed saves left, under the lock, so that no save of
    // another copy loses its temporary file between making and locking it.
    void sweepLeftovers(const QString& target);
    // What stat said of the file when this copy last read or wrote it whole;
    // on a local file system the same answer means the same content.
    struct FileSeen {
        bool valid = false;
        platform::FileStatus status;
        // What stat of the name said then: a network mount may answer a
        // look by the name from a cache that the open file has passed.
        platform::FileStatus named;
        static FileSeen of(const QString& target);
        static FileSeen from(const platform::FileStatus& st, const QString& target);
        bool operator==(const FileSeen& other) const;
    };
    static constexpr int TemplateRow = SlotCount;
    // The table in memory as one block of file bytes.
    QByteArray tableBytes() const;
    // Puts a table in memory; the base stays what it was, unless the caller
    // makes the table the base right after (`keepingBase` false).
    void setTable(const QByteArray& bytes, bool keepingBase = true);
    // Reads a file's blocks into memory, leaving the base to the caller.
    // `read` reads up to the size asked into the place given and returns
    // how much it read.
    bool readBlocks(const std::function<qint64(char*, qint64)>& read, qint64 length);

    // The base is kept as the rows where it differs from the table in
    // memory: a row's copy is taken when the row is first handed out for a
    // change. Loading 9000 cards then costs one read, not a read and a copy,
    // and memory holds the table once.
    const SettingsRecord& rowInMemory(int row) const {
        return row == TemplateRow ? template_ : slots_[static_cast<std::size_t>(row)];
    }
    const SettingsRecord& baseRow(int row) const {
        const auto& kept = baseRows_[static_cast<std::size_t>(row)];
        return kept ? *kept : rowInMemory(row);
    }
    void keepBase(int row) {
        auto& kept = baseRows_[static_cast<std::size_t>(row)];
        if (!kept)
            kept = std::make_unique<SettingsRecord>(rowInMemory(row));
    }
    // The base as one table, for a merge; valid until the next call.
    const QByteArray& baseTable() const;
    // Writes the base, a whole table, at `table`.
    void writeBase(char* table) const;
    bool baseEquals(const QByteArray& table) const;
    // Whether the table in memory is still the base.
    bool baseIsMemory() const;
    // The base becomes the table in memory.
    void rememberBase();
    // The base becomes `table` (empty: a table of free rows).
    void setBase(const QByteArray& table);
    // Reads the whole file at `target` as a table in file form (a missing or
    // empty file is an empty table). False for anything else.
    bool readTable(const QString& target, QByteArray* table, QByteArray* raw, FileSeen* seen) const;
    // Writes the table under the lock, with its backups: `written` gives the
    // bytes written, once they are; `replaced`, the file's bytes before (none
    // where there was no file).
    // LockLost: the lock was lost or the file changed meanwhile, and nothing
    // was written (or what was written is no longer there).
    enum class Write { Written, Failed, LockLost };
    Write writeLocked(const QString& target, unsigned mode, FileSystemCalls& calls,
                      const std::function<bool(QIODevice&)>& write,
                      const std::function<QByteArray()>& written,
                      const std::function<QByteArray()>& replaced, bool same,
                      const std::function<bool()>& mayRename, const std::function<bool()>& readBack,
                      std::int64_t quietSince);
    // The merge's table taken into memory, the file read becoming the base
    // except where a row is still to be decided.
    // `mine`: the table in memory the merge was made from. `carryMoves`: a
    // card that must move is moved in memory too.
    void adopt(const QByteArray& mine, const QByteArray& file, const FileSeen& read,
               const MergeResult& merge, bool carryMoves = false);
    // What every whole write or restore leaves: the table in memory is the
    // base, and nothing of this copy's is pending.
    void settle();
    void noteChanges(const QByteArray& table);
    // The lease this copy holds for its run where the folder's file system
    // cannot be trusted with an exclusive create; null elsewhere.
    Lease* sessionFor(const QString& target, unsigned mode);
    // What this copy's last save wrote, row by row, against the version it
    // replaced.
    using RowAt = std::function<const void*(int row)>;
    void rememberWritten(std::uint64_t id, std::uint64_t base, const RowAt& wrote,
                         const RowAt& before, const std::vector<int>& also);
    // Looks at a file read for what another copy's save did to this copy's
    // last one: a card put back to the version it replaced becomes this
    // copy's change again (reported in buried_), and so does, where the
    // line of saves shows that save was buried, a card changed otherwise
    // (then a question at the next save).
    void checkWritten(const QByteArray& file, const std::optional<SaveNote>& note);
    void setBaseRow(int row, const SettingsRecord& record);
    // Whether the file is still exactly what this copy read (`raw`, `read`)
    // before it puts its own in place.
    bool unchangedSince(const QString& target, bool local, const QByteArray& raw,
                        const FileSeen& read) const;
    // Reads the note, then the table (readTable). On a network mount, a
    // file that is not the one the note's newest save wrote is read again
    // for a while (a mount's cache of the name catching up); if it stays
    // so, the note is not trusted (another writer that writes none).
    bool readConsistent(const QString& target, bool local, QByteArray* table, QByteArray* raw,
                        FileSeen* seen, QByteArray* noteBytes, std::optional<SaveNote>* note);

    std::vector<SettingsRecord> slots_;
    SettingsRecord template_;
    // The base, the file as this copy last loaded, saved or took it: where a
    // row of it differs from the table in memory, its copy (the template's
    // last); elsewhere nothing.
    std::vector<std::unique_ptr<SettingsRecord>> baseRows_;
    mutable QByteArray baseScratch_;       // baseTable()'s
    std::vector<ProgrammingStamp> stamps_; // programmings no save has written yet
    FileSeen seen_;
    QByteArray seenNote_; // the save note as it was when seen_ was
    struct Written {
        std::uint64_t id = 0;
        std::uint64_t base = 0;
        struct Row {
            int row;
            SettingsRecord wrote, replaced;
        };
        std::vector<Row> rows;
    } written_;
    std::vector<int> buried_;
    std::unique_ptr<Lease> session_;
    bool sessionChecked_ = false;
    Lease::Watch leaseWatch_;
    std::optional<LeaseHolder> heldBy_;
    bool mergePending_ = false; // a take left rows to decide: the next save merges
    std::vector<int> changed_;
    bool templateChanged_ = false;
    std::unique_ptr<BackupKeeper> backups_;
    // The file Load read, or a file of another length it copied aside
    // (keptAside_): the first save may replace it, as long as it is still
    // that file.
    bool keptAside_ = false;
    platform::FileStatus kept_; // the file kept aside, as it was
    qint64 keptLength_ = 0;
    QString fileName_ = QString::fromLatin1(DefaultFileName);
    FileSystemCalls* calls_ = nullptr;
    LoadReport report_;
    bool fileOffLimits_ = false;
    bool quietWrite_ = false; // saveTaken: no backup of this write
};
