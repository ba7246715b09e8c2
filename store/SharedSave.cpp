// Saving when other copies of the program may share the file: the lock, the
// merge card by card, taking another copy's changes, backups.
#include "store/SettingsDatabase.h"

#include "store/AtomicFile.h"
#include "store/Backup.h"
#include "store/CardFields.h"
#include "store/Messenger.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

namespace {

constexpr qint64 B = SettingsRecord::Size;
constexpr int LockWaitMs = 10000;
constexpr int LockPollMs = 50;

// The record lock on "<file>.lock": taken for the span of one save, released
// by the system when the process dies. Where the file system has no record
// locks the save goes on without one, as a single copy would.
//
// A lock is only as good as the name it is found by: a lock file deleted
// (or replaced) while a save holds it lets the next copy lock a new file
// under the same name. So the lock is taken only on the file the name leads
// to, and a save looks again right before it puts its file in place.
class DatabaseLock {
public:
    DatabaseLock(const QString& target, unsigned mode, const std::function<void(bool)>& waiting)
        : name_(platform::encodeName(SettingsDatabase::lockFileOf(target))), mode_(mode) {
        bool told = false;
        const auto tell = [&](bool on) {
            if (told != on && waiting)
                waiting(on);
            told = on;
        };
        // The wait gives up only on a lock that is stuck: each save another
        // copy finishes meanwhile (the file is replaced) starts it afresh, so
        // a copy is never starved by others saving one after another.
        const QByteArray file = platform::encodeName(target);
        platform::FileStatus last;
        const auto replaced = [&] {
            platform::FileStatus now;
            const bool seen = platform::statusOf(file.constData(), &now) == 0;
            const bool changed =
                seen && !(now.sameFile(last) && now.modifiedSeconds == last.modifiedSeconds &&
                          now.modifiedNanoseconds == last.modifiedNanoseconds);
            if (seen)
                last = now;
            return changed;
        };
        replaced();
        for (int waited = 0, moved = 0;;) {
            const Step step = attempt();
            if (step == Step::Moved && ++moved > 100) {
                tell(false);
                release();
                return; // a name that will not stay put: no lock to be had
            }
            if (step == Step::Locked) {
                tell(false);
                ok_ = true;
                return;
            }
            if (step == Step::Failed || waited >= LockWaitMs) {
                tell(false);
                release();
                return;
            }
            if (step == Step::Busy) {
                tell(true);
                std::this_thread::sleep_for(std::chrono::milliseconds(LockPollMs));
                waited = replaced() ? 0 : waited + LockPollMs;
            }
            release(); // Busy or Moved: anew
        }
    }
    ~DatabaseLock() { release(); }
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;
    bool ok() const { return ok_; }
    // Whether the lock file's name still leads to the file locked.
    bool stillHeld() const {
        if (!ok_)
            return false;
        if (!recordLocks_)
            return true;
        platform::FileStatus held, named;
        return platform::statusOf(fd_, &held) == 0 &&
               platform::statusOf(name_.constData(), &named, false) == 0 && held.sameFile(named);
    }
    void release() {
        if (fd_ >= 0)
            platform::closeFile(fd_); // closing the description drops its lock
        fd_ = -1;
        ok_ = false;
    }

private:
    enum class Step { Locked, Busy, Moved, Failed };
    Step attempt() {
        // Made with the database's permission bits, so that whoever may
        // write the database may lock it; never deleted by the program, and
        // where the system allows, by no one else while a copy holds it.
        const int flags =
            platform::ReadWrite | platform::NoFollow | platform::NonBlocking | platform::KeepName;
        fd_ = platform::openFile(name_.constData(), flags | platform::Create | platform::Exclusive,
                                 mode_);
        if (fd_ >= 0) {
            (void)platform::setMode(fd_, mode_);
        } else {
            if (errno != EEXIST)
                return Step::Failed; // no folder, no permission, ...
            fd_ = platform::openFile(name_.constData(), flags);
            if (fd_ < 0)
                return errno == ENOENT ? Step::Moved : Step::Failed; // deleted in between
        }
        platform::FileStatus st;
        if (platform::statusOf(fd_, &st) != 0 || !st.regular())
            return Step::Failed;
        switch (platform::lockRecord(fd_)) {
        case platform::RecordLock::Taken:
            break;
        case platform::RecordLock::Unsupported:
            recordLocks_ = false; // no record locks here: on without one
            return Step::Locked;
        case platform::RecordLock::Busy:
            return Step::Busy;
        case platform::RecordLock::Failed:
            return Step::Failed;
        }
        ok_ = true;
        // Locked: but maybe a file whose name was deleted while this copy
        // waited for it.
        return stillHeld() ? Step::Locked : Step::Moved;
    }

    QByteArray name_;
    unsigned mode_ = 0600;
    int fd_ = -1;
    bool ok_ = false;
    bool recordLocks_ = true;
};

// The permission bits of the database, which its lock file, backups and
// notes share; a new database is its owner's.
unsigned modeFor(const QString& target) {
    platform::FileStatus st;
    return platform::statusOf(platform::encodeName(target).constData(), &st) == 0 ? (st.mode & 0666)
                                                                                  : 0600;
}

// The one box the store shows itself.
void tellWriteFailed(Messenger& messenger) {
    messenger.inform(QStringLiteral("Ошибка"), QStringLiteral("Ошибка записи на диск"));
}

} // namespace

SettingsDatabase::FileSeen SettingsDatabase::FileSeen::of(const QString& target) {
    platform::FileStatus st;
    if (platform::statusOf(platform::encodeName(target).constData(), &st) != 0)
        return {};
    return from(st, target);
}

// Network file systems may cache what stat tells, and FAT's times come in
// steps of two seconds: there the file is always read afresh.
SettingsDatabase::FileSeen SettingsDatabase::FileSeen::from(const platform::FileStatus& st,
                                                            const QString& target) {
    FileSeen seen;
    if (!st.regular())
        return seen;
    seen.valid =
        platform::volumeOf(platform::encodeName(target).constData()) == platform::Volume::Local;
    seen.status = st;
    return seen;
}

// The change time is left out: the backups' second names of the file change
// it, and every writer of the content changes the modification time or, by
// a rename, the inode.
bool SettingsDatabase::FileSeen::operator==(const FileSeen& o) const {
    return valid && o.valid && status.sameVersion(o.status);
}

SettingsDatabase::~SettingsDatabase() = default;

void SettingsDatabase::sweepLeftovers(const QString& target) {
    // Nothing left over, nothing to lock: a start in a folder without a
    // database leaves no lock file behind.
    // The names are compared by hand: a name filter would compile a
    // regular expression at every start.
    const QFileInfo file(target);
    const QString prefix = file.fileName() + QStringLiteral(".tmp-");
    bool leftOver = false;
    for (QDirIterator it(file.absolutePath(), QDir::Files | QDir::Hidden | QDir::System);
         !leftOver && it.hasNext();) {
        it.next();
        leftOver = it.fileName().startsWith(prefix, Qt::CaseInsensitive);
    }
    if (!leftOver)
        return;
    DatabaseLock lock(target, modeFor(target), {});
    if (lock.ok())
        removeStaleTemporaries(target);
}

bool SettingsDatabase::fileMayHaveChanged() const {
    QString target;
    if (fileOffLimits_ || resolveLinks(fileName_, &target) != 0)
        return false;
    const FileSeen now = FileSeen::of(target);
    // Where stat cannot be trusted the file is always read again.
    return !now.valid || !(seen_ == now);
}

BackupKeeper& SettingsDatabase::backups() {
    if (!backups_)
        backups_ = std::make_unique<BackupKeeper>();
    return *backups_;
}

QByteArray SettingsDatabase::tableBytes() const {
    QByteArray bytes(FileSize, Qt::Uninitialized);
    std::memcpy(bytes.data(), slots_.data()->data(), std::size_t(SlotCount) * B);
    std::memcpy(bytes.data() + qint64(SlotCount) * B, template_.data(), B);
    return bytes;
}

void SettingsDatabase::rememberBase() {
    for (auto& kept : baseRows_)
        kept.reset();
}

void SettingsDatabase::setBase(const QByteArray& table) {
    static const SettingsRecord freeRow;
    for (int i = 0; i <= TemplateRow; ++i) {
        const void* row = table.isEmpty() ? static_cast<const void*>(freeRow.data())
                                          : table.constData() + qint64(i) * B;
        auto& kept = baseRows_[static_cast<std::size_t>(i)];
        if (std::memcmp(row, rowInMemory(i).data(), B) == 0) {
            kept.reset();
        } else {
            if (!kept)
                kept = std::make_unique<SettingsRecord>();
            std::memcpy(kept->data(), row, B);
        }
    }
}

const QByteArray& SettingsDatabase::baseTable() const {
    // One buffer for every merge, while nothing else holds it: a fresh 6 MB
    // each time would be paid again in page faults at every save.
    if (!baseScratch_.isDetached() || baseScratch_.size() != FileSize)
        baseScratch_ = QByteArray(FileSize, Qt::Uninitialized);
    writeBase(baseScratch_.data());
    return baseScratch_;
}

void SettingsDatabase::writeBase(char* table) const {
    std::memcpy(table, slots_.data()->data(), std::size_t(SlotCount) * B);
    std::memcpy(table + qint64(SlotCount) * B, template_.data(), B);
    for (int i = 0; i <= TemplateRow; ++i)
        if (const auto& kept = baseRows_[static_cast<std::size_t>(i)])
            std::memcpy(table + qint64(i) * B, kept->data(), B);
}

bool SettingsDatabase::baseEquals(const QByteArray& table) const {
    if (table.size() != FileSize)
        return false;
    for (int i = 0; i <= TemplateRow; ++i)
        if (std::memcmp(table.constData() + qint64(i) * B, baseRow(i).data(), B) != 0)
            return false;
    return true;
}

bool SettingsDatabase::baseIsMemory() const {
    for (int i = 0; i <= TemplateRow; ++i) {
        const auto& kept = baseRows_[static_cast<std::size_t>(i)];
        if (kept && !(*kept == rowInMemory(i)))
            return false;
    }
    return true;
}

void SettingsDatabase::setTable(const QByteArray& bytes, bool keepingBase) {
    // A row about to change keeps its base first.
    for (int i = 0; keepingBase && i <= TemplateRow; ++i)
        if (std::memcmp(bytes.constData() + qint64(i) * B, rowInMemory(i).data(), B) != 0)
            keepBase(i);
    std::memcpy(slots_.data()->data(), bytes.constData(), std::size_t(SlotCount) * B);
    std::memcpy(template_.data(), bytes.constData() + qint64(SlotCount) * B, B);
}

bool SettingsDatabase::readTable(const QString& target, QByteArray* table, QByteArray* raw,
                                 FileSeen* seen) const {
    raw->clear();
    *seen = {};
    table->clear();
    const int fd = platform::openFile(platform::encodeName(target).constData(),
                                      platform::ReadOnly | platform::NonBlocking);
    if (fd < 0)
        return errno == ENOENT; // nothing there: nothing to merge
    platform::FileStatus st;
    bool ok = platform::statusOf(fd, &st) == 0 && st.regular();
    const qint64 length = ok ? st.size : 0;
    // One rule for every reading, the loader's: any whole number of blocks
    // is a table, the cards it lacks are free rows (a truncated file shows
    // as cards gone, which the operator is asked about).
    if (ok && length > 0 && length % B == 0) {
        raw->resize(length);
        qint64 done = 0;
        while (done < length) {
            const long long n =
                platform::readSome(fd, raw->data() + done, std::size_t(length - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        ok = done == length;
    } else if (ok && length != 0 && !(keptAside_ && st.sameFile(kept_) && length == keptLength_)) {
        ok = false; // a length the loader rejects (a file kept aside at start excepted)
    }
    platform::closeFile(fd);
    // What stat said of exactly the bytes read: a writer always replaces the
    // file by a rename, so these bytes and this answer go together.
    if (ok)
        *seen = FileSeen::from(st, target);
    if (!ok || raw->isEmpty()) {
        raw->clear();
        if (ok)
            *table = QByteArray(FileSize, '\0'); // nothing there: an empty table
        return ok;
    }
    *table = MergeTable::fromFile(*raw);
    return true;
}

void SettingsDatabase::StampProgrammed(int slot, std::uint16_t frameCrc, double now) {
    SettingsRecord& r = Slot(slot);
    ProgrammingStamp stamp;
    stamp.slot = slot;
    stamp.before = r;
    stamp.sent = r.sentImage();
    stamp.crc = frameCrc;
    stamp.date = now;
    r.StampProgrammed(frameCrc, now);
    stamp.after = r;
    stamps_.push_back(stamp);
}

void SettingsDatabase::settle() {
    rememberBase();
    stamps_.clear();
    mergePending_ = false;
    keptAside_ = false;
}

void SettingsDatabase::noteChanges(const QByteArray& table) {
    changed_.clear();
    for (int i = 0; i < SlotCount; ++i)
        if (std::memcmp(table.constData() + qint64(i) * B, slots_[std::size_t(i)].data(), B) != 0)
            changed_.push_back(i);
    templateChanged_ =
        std::memcmp(table.constData() + qint64(SlotCount) * B, template_.data(), B) != 0;
}

SettingsDatabase::SaveOutcome SettingsDatabase::saveMerged(Messenger& messenger,
                                                           const MergeAnswers& answers,
                                                           const Accept& accept, int editedSlot) {
    changed_.clear();
    templateChanged_ = false;
    const auto failed = [&messenger](MergeResult merge = {}) {
        tellWriteFailed(messenger);
        return SaveOutcome{Failed, std::move(merge)};
    };
    QString target;
    if (fileOffLimits_ || resolveLinks(fileName_, &target) != 0 || !mayReplace(target))
        return failed();
    FileSystemCalls& calls = calls_ ? *calls_ : FileSystemCalls::real();
    const unsigned mode = modeFor(target);
    // Started over when the lock turns out to have been another file's.
    for (int attempt = 0; attempt < 20; ++attempt) {
        DatabaseLock lock(target, mode, onWaiting);
        if (!lock.ok())
            return failed();
        SaveOutcome outcome{Saved, {}};
        // The usual case, one copy alone: the file is still what this copy
        // last wrote or read (a local file system's stat says so reliably),
        // so there is nothing to merge and the table in memory is written
        // as it is.
        const bool alone = !mergePending_ && seen_ == FileSeen::of(target);
        QByteArray file, raw, mine;
        FileSeen read;
        if (!alone) {
            if (!readTable(target, &file, &raw, &read))
                return failed(); // never merged: memory keeps everything
            // A file gone or emptied meanwhile holds nothing to merge: the
            // table is written whole, so that no card is lost.
            const QByteArray& base = baseTable();
            if (raw.isEmpty())
                file = base;
            mine = tableBytes();
            outcome.merge = mergeTables(base, mine, file, stamps_, editedSlot, answers);
            if (outcome.merge.needsAnswers()) {
                outcome.result = Asking;
                return outcome;
            }
            if (outcome.merge.noRoom()) {
                outcome.result = NoRoom;
                return outcome;
            }
        }
        if (accept) {
            if (alone) {
                if (!accept(*this, outcome.merge))
                    return {Refused, {}};
            } else {
                SettingsDatabase merged;
                merged.setTable(outcome.merge.table, false); // only looked at
                if (!accept(merged, outcome.merge))
                    return {Refused, std::move(outcome.merge)};
            }
        }
        // A save that writes what the file holds already (the save on
        // closing, say) needs no backup of it.
        const QByteArray& result = outcome.merge.table;
        const bool same = alone ? baseIsMemory() : raw == result;
        // Alone, the table in memory is written as it is and then becomes
        // the base; the backup keeps a copy of it.
        const auto writeTable = [&](QIODevice& device) {
            return alone ? writeTo(device) : device.write(result) == result.size();
        };
        const auto written = [&] { return alone ? tableBytes() : result; };
        std::function<QByteArray()> replaced;
        if (alone)
            replaced = [this] { // a buffer of its own: it goes to the backup thread
                QByteArray base(FileSize, Qt::Uninitialized);
                writeBase(base.data());
                return base;
            };
        else if (!raw.isEmpty())
            replaced = [&raw] { return raw; };
        const Write write = writeLocked(target, mode, calls, writeTable, written, replaced, same,
                                        [&lock] { return lock.stillHeld(); });
        if (write == Write::LockLost)
            continue; // another copy may have written meanwhile: read it again
        if (write == Write::Failed) {
            // Cards this copy keeps against the file's loss of them: the
            // file becomes the base all the same, so the question is not
            // asked again until the file changes again.
            if (!alone && !answers.goneAsked.empty() && !answers.acceptGone)
                adopt(mine, file, read, outcome.merge, true);
            return failed(std::move(outcome.merge));
        }
        if (!alone) {
            noteChanges(result);
            setTable(result, false); // the base from here on
        }
        settle();
        return outcome;
    }
    return failed();
}

SettingsDatabase::Write SettingsDatabase::writeLocked(const QString& target, unsigned mode,
                                                      FileSystemCalls& calls,
                                                      const std::function<bool(QIODevice&)>& write,
                                                      const std::function<QByteArray()>& written,
                                                      const std::function<QByteArray()>& replaced,
                                                      bool same,
                                                      const std::function<bool()>& stillLocked) {
    // The version replaced, held by a second name before it is gone (it is
    // nobody's file after the rename, so nothing changes it in place); the
    // keeper keeps it only where it is not the newest backup already (a
    // file put there by hand).
    std::vector<BackupKeeper::Held> versions;
    const auto identity = [&target] {
        platform::FileStatus st;
        if (platform::statusOf(platform::encodeName(target).constData(), &st) != 0)
            return QByteArray();
        return QByteArray::number(st.volume) + ' ' + QByteArray::number(st.index) + ' ' +
               QByteArray::number(st.size) + ' ' + QByteArray::number(st.modifiedSeconds) + '.' +
               QByteArray::number(st.modifiedNanoseconds);
    };
    const QByteArray now = identity();
    const bool kept = !now.isEmpty() && BackupKeeper::writtenLast(target) == now;
    if (!same && !kept && replaced && !now.isEmpty()) {
        if (auto held = BackupKeeper::hold(target, target, replaced, mode)) {
            held->replaced = true;
            versions.push_back(*held);
        }
    } else if (!now.isEmpty()) {
        // A second name all the same, so that the 6 MB the rename frees are
        // given back by the backup thread, not in the save.
        if (auto doomed = BackupKeeper::holdToDrop(target, mode))
            versions.push_back(*doomed);
    }
    bool lockLost = false;
    const bool replacedFile = ReplaceFileAtomically(target, write, calls, [&] {
        lockLost = !stillLocked();
        return !lockLost;
    });
    if (!replacedFile) {
        for (const auto& held : versions)
            BackupKeeper::drop(held);
        return lockLost ? Write::LockLost : Write::Failed;
    }
    seen_ = FileSeen::of(target);
    // The version written, under a name taken now, while no other copy can
    // write: every copy's backups are in the order of their saves. Its bytes
    // wait in memory, not as a second name of the file: a file copied over
    // the database by hand is written into it in place. What a backup holds
    // already needs none.
    bool backed = same && kept;
    if (!backed) {
        if (auto held = BackupKeeper::hold(target, QString(), written, mode)) {
            // The same as the file it replaced, maybe kept a moment ago.
            held->replaced = same;
            versions.push_back(*held);
            backed = true;
        }
    }
    QString stem = versions.empty() ? QString() : versions.back().stem;
    if (same && kept)
        stem = BackupKeeper::writtenLastStem(target);
    BackupKeeper::noteWritten(target, backed ? identity() : QByteArray(), stem);
    backups().keep(target, std::move(versions), mode);
    return Write::Written;
}

void SettingsDatabase::adopt(const QByteArray& mine, const QByteArray& file, const FileSeen& read,
                             const MergeResult& merge, bool carryMoves) {
    // Where a question is open, or a card would have to move, this copy's
    // version and its base stay, and the next save merges that row again.
    QByteArray table = merge.table;
    QByteArray base = file;
    const auto keep = [&](int i) {
        std::memcpy(table.data() + qint64(i) * B, mine.constData() + qint64(i) * B, B);
        std::memcpy(base.data() + qint64(i) * B, baseRow(i).data(), B);
    };
    for (int i : merge.undecided)
        keep(i);
    for (const auto& moved : merge.relocations) {
        if (carryMoves && moved.to >= 0)
            continue; // in its new row, this copy's change against the file
        keep(moved.from);
        if (moved.to >= 0)
            std::memcpy(table.data() + qint64(moved.to) * B,
                        mine.constData() + qint64(moved.to) * B, B);
    }
    mergePending_ = !merge.undecided.empty() || (!merge.relocations.empty() && !carryMoves);
    noteChanges(table);
    setTable(table);
    setBase(base);
    seen_ = read;
}

SettingsDatabase::TakeOutcome SettingsDatabase::takeFileChanges(const MergeAnswers& answers) {
    changed_.clear();
    templateChanged_ = false;
    QString target;
    if (fileOffLimits_ || resolveLinks(fileName_, &target) != 0)
        return {};
    platform::FileStatus st;
    if (platform::statusOf(platform::encodeName(target).constData(), &st) != 0)
        return {}; // nothing saved yet by anyone
    QByteArray file, raw;
    FileSeen read;
    {
        DatabaseLock lock(target, st.mode & 0666, {});
        if (!lock.ok() || !readTable(target, &file, &raw, &read) || raw.isEmpty())
            return {};
    }
    TakeOutcome outcome;
    outcome.taken = true;
    if (!mergePending_ && baseEquals(file)) {
        seen_ = read;
        return outcome;
    }
    const QByteArray mine = tableBytes();
    const MergeResult merge = mergeTables(baseTable(), mine, file, stamps_, -1, answers);
    if (!merge.gone.empty()) {
        // Not taken until the operator says so.
        outcome.taken = false;
        outcome.gone = merge.gone;
        outcome.firstGoneName = merge.firstGoneName;
        return outcome;
    }
    adopt(mine, file, read, merge);
    return outcome;
}

SettingsDatabase::RestoreResult SettingsDatabase::restore(const QByteArray& table,
                                                          Messenger& messenger) {
    changed_.clear();
    templateChanged_ = false;
    QString target;
    if (table.size() != FileSize || fileOffLimits_ || resolveLinks(fileName_, &target) != 0 ||
        !mayReplace(target)) {
        tellWriteFailed(messenger);
        return RestoreResult::Failed;
    }
    FileSystemCalls& calls = calls_ ? *calls_ : FileSystemCalls::real();
    const unsigned mode = modeFor(target);
    // The backup's cards are in memory from here on, saved or not.
    noteChanges(table);
    setTable(table);
    for (int attempt = 0; attempt < 20; ++attempt) {
        DatabaseLock lock(target, mode, onWaiting);
        QByteArray file, raw;
        FileSeen read;
        if (!lock.ok() || !readTable(target, &file, &raw, &read))
            break; // a file that is no table is never written over
        if (!raw.isEmpty()) {
            // Another copy restored it meanwhile: that file is the database.
            noteChanges(file);
            setTable(file, false); // the base from here on
            settle();
            seen_ = read;
            return RestoreResult::AlreadyRestored;
        }
        const Write write = writeLocked(
            target, mode, calls,
            [&table](QIODevice& device) { return device.write(table) == table.size(); },
            [&table] { return table; }, {}, false, [&lock] { return lock.stillHeld(); });
        if (write == Write::LockLost)
            continue;
        if (write == Write::Failed)
            break;
        settle();
        return RestoreResult::Restored;
    }
    tellWriteFailed(messenger);
    return RestoreResult::Failed;
}
