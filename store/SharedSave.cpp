// Saving when other copies of the program may share the file: the lock, the
// merge card by card, taking another copy's changes, backups.
#include "store/SettingsDatabase.h"

#include "store/AtomicFile.h"
#include "store/Backup.h"
#include "store/CardFields.h"
#include "store/DatabaseLock.h"
#include "store/Messenger.h"
#include "store/SaveNote.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <thread>

namespace {

constexpr qint64 B = SettingsRecord::Size;
// What a start waits for a lock: enough to take over a lease its holder
// left on this machine, never another's save or a silent lease.
constexpr int StartPatienceMs = 100;
// How often a file that is not the note's newest is read again, 250 ms apart.
constexpr int ConsistentTries = 12;
// The permission bits of the database, which its lock file, backups and
// notes share; a new database is its owner's.
unsigned modeFor(const QString& target) {
    platform::FileStatus st;
    return platform::statusOf(platform::encodeName(target).constData(), &st) == 0 ? (st.mode & 0666)
                                                                                  : 0600;
}

// A temporary file beside the database is a leftover of a save that died
// once no save can be at work on it: on a local disk its writer's lock tells
// at once; on a network mount, where that lock cannot be seen from another
// machine, any save but this copy's own has lost its lease while this copy
// holds it, so a file last written no later than the lease's last renewal
// (by the folder's own clock) is no live save's: at worst one that lost its
// lease, which will not rename it.
std::int64_t quietSince(const QString& target, const DatabaseLock& lock) {
    if (platform::volumeOf(platform::encodeName(target).constData()) == platform::Volume::Local)
        return std::numeric_limits<std::int64_t>::max();
    const qint64 now = lock.fileTimeSeconds();
    return now > 0 ? now : std::numeric_limits<std::int64_t>::min();
}

// The whole file under `target` as it is now; false when it cannot be read.
bool readWhole(const QString& target, QByteArray* bytes) {
    bytes->clear();
    const int fd = platform::openFile(platform::encodeName(target).constData(),
                                      platform::ReadOnly | platform::NonBlocking);
    if (fd < 0)
        return errno == ENOENT;
    platform::FileStatus st;
    bool ok = platform::statusOf(fd, &st) == 0 && st.regular();
    // Read to the end, whatever a cached size says.
    QByteArray data;
    char chunk[65536];
    while (ok) {
        const long long n = platform::readSome(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        data.append(chunk, qsizetype(n));
    }
    platform::closeFile(fd);
    *bytes = data;
    return ok;
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
    FileSeen seen = from(st, target);
    seen.named = st;
    return seen;
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
    seen.named = st;
    if (!seen.valid)
        (void)platform::statusOf(platform::encodeName(target).constData(), &seen.named);
    return seen;
}

// The change time is left out: the backups' second names of the file change
// it, and every writer of the content changes the modification time or, by
// a rename, the inode.
bool SettingsDatabase::FileSeen::operator==(const FileSeen& o) const {
    return valid && o.valid && status.sameVersion(o.status);
}

SettingsDatabase::~SettingsDatabase() = default;

Lease* SettingsDatabase::sessionFor(const QString& target, unsigned mode) {
    if (!sessionChecked_) {
        sessionChecked_ = true;
        const QByteArray folder = platform::encodeName(QFileInfo(target).absolutePath());
        if (!platform::exclusiveCreateHolds(folder.constData()))
            session_ = std::make_unique<Lease>(Lease::fileOf(target), mode);
    }
    return session_.get();
}

bool SettingsDatabase::heldElsewhere() {
    QString target;
    if (!heldBy_ || resolveLinks(fileName_, &target) != 0)
        return false;
    const auto holder = Lease::peek(target);
    if (!holder || !holder->session)
        heldBy_.reset();
    else
        heldBy_ = holder;
    return heldBy_.has_value();
}

void SettingsDatabase::sweepLeftovers(const QString& target) {
    // Where copies cannot share the folder safely, this copy takes it for
    // its run, or learns which copy has.
    const unsigned mode = modeFor(target);
    if (Lease* session = sessionFor(target, mode); session && !session->held()) {
        // Without waiting: a start is never held up by another's save.
        DatabaseLock lock(target, mode, {}, session, true, &leaseWatch_, StartPatienceMs);
        heldBy_.reset();
        if (lock.heldForSession())
            heldBy_ = lock.holder();
    } else if (!session) {
        const auto holder = Lease::peek(target);
        heldBy_.reset();
        if (holder && holder->session)
            heldBy_ = holder;
    }
    // Nothing left over, nothing to lock: a start in a folder without a
    // database leaves no lock file behind.
    // The names are compared by hand: a name filter would compile a
    // regular expression at every start.
    const QFileInfo file(target);
    const QString prefix = file.fileName() + QStringLiteral(".tmp-");
    const QString scrap = QFileInfo(Lease::fileOf(target)).fileName() + QLatin1Char('.');
    bool leftOver = false;
    for (QDirIterator it(file.absolutePath(), QDir::Files | QDir::Hidden | QDir::System);
         !leftOver && it.hasNext();) {
        it.next();
        leftOver = it.fileName().startsWith(prefix, Qt::CaseInsensitive) ||
                   it.fileName().startsWith(scrap, Qt::CaseInsensitive);
    }
    // A lease a killed save of this machine left goes too.
    if ((!leftOver && !Lease::leftHere(target)) || heldBy_)
        return;
    DatabaseLock lock(target, mode, {}, session_.get(), false, &leaseWatch_, StartPatienceMs);
    if (lock.ok()) {
        removeStaleTemporaries(target, quietSince(target, lock));
        Lease::removeScraps(target, quietSince(target, lock));
    }
}

bool SettingsDatabase::fileMayHaveChanged() const {
    QString target;
    if (fileOffLimits_ || resolveLinks(fileName_, &target) != 0)
        return false;
    const FileSeen now = FileSeen::of(target);
    if (now.valid)
        return !(seen_ == now);
    // Where stat cannot be trusted to tell every change, the note every
    // save writes does (a few hundred bytes, not the whole file); stat still
    // tells of a writer that writes no note.
    if (SaveNote::read(target) != seenNote_)
        return true;
    return now.status.kind != seen_.named.kind || !now.status.sameVersion(seen_.named);
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

void SettingsDatabase::setBaseRow(int row, const SettingsRecord& record) {
    auto& kept = baseRows_[static_cast<std::size_t>(row)];
    if (record == rowInMemory(row)) {
        kept.reset();
    } else {
        if (!kept)
            kept = std::make_unique<SettingsRecord>();
        *kept = record;
    }
}

void SettingsDatabase::rememberWritten(std::uint64_t id, std::uint64_t base, const RowAt& wrote,
                                       const RowAt& before, const std::vector<int>& also) {
    written_ = {id, base, {}};
    // The rows this copy changed keep their base; a merge may also have
    // written a card moved to a free row, or one kept that the file lost.
    std::vector<int> rows = also;
    for (int i = 0; i <= TemplateRow; ++i)
        if (baseRows_[static_cast<std::size_t>(i)])
            rows.push_back(i);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    for (int i : rows) {
        if (i < 0 || i > TemplateRow || std::memcmp(before(i), wrote(i), B) == 0)
            continue;
        Written::Row row{i, {}, {}};
        std::memcpy(row.wrote.data(), wrote(i), B);
        std::memcpy(row.replaced.data(), before(i), B);
        written_.rows.push_back(row);
    }
}

void SettingsDatabase::checkWritten(const QByteArray& file, const std::optional<SaveNote>& note) {
    if (written_.rows.empty() || file.size() != FileSize)
        return;
    using Line = SaveNote::Line;
    Line line = note ? note->lineOf(written_.id, written_.base) : Line::Unknown;
    const auto rowOf = [&](int i) { return file.constData() + qint64(i) * B; };
    bool allThere = true;
    for (const auto& r : written_.rows)
        allThere = allThere && std::memcmp(rowOf(r.row), r.wrote.data(), B) == 0;
    // Still the newest save, and the file says so too: nothing to judge yet.
    if (line == Line::Newest && allThere)
        return;
    if (line == Line::Newest)
        line = Line::Beside; // replaced by a writer that wrote no line
    if (line != Line::BuiltOn) {
        for (const auto& r : written_.rows) {
            if (std::memcmp(rowOf(r.row), r.wrote.data(), B) == 0)
                continue;
            const bool back = std::memcmp(rowOf(r.row), r.replaced.data(), B) == 0;
            // A card changed otherwise, by a save that may well have built
            // on this one, is that save's; only a buried save makes it a
            // question.
            if (!back && line != Line::Beside)
                continue;
            // Changed here since: that change is this copy's own already.
            if (!(rowInMemory(r.row) == r.wrote))
                continue;
            // Against the version it replaced, the card is this copy's
            // change again: written at the next save, or asked about.
            setBaseRow(r.row, r.replaced);
            if (r.row < SlotCount) // the template goes along unannounced
                buried_.push_back(r.row);
        }
    }
    written_ = {};
}

bool SettingsDatabase::readConsistent(const QString& target, bool local, QByteArray* table,
                                      QByteArray* raw, FileSeen* seen, QByteArray* noteBytes,
                                      std::optional<SaveNote>* note) {
    for (int tries = 0;; ++tries) {
        *noteBytes = SaveNote::read(target);
        *note = SaveNote::parse(*noteBytes);
        if (!readTable(target, table, raw, seen))
            return false;
        const std::uint32_t sum = *note && !(*note)->saves.empty() ? (*note)->saves.front().sum : 0;
        if (local || sum == 0 || raw->isEmpty() || SaveNote::sumOf(*raw) == sum)
            return true;
        if (tries >= ConsistentTries) {
            note->reset();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

bool SettingsDatabase::unchangedSince(const QString& target, bool local, const QByteArray& raw,
                                      const FileSeen& read) const {
    if (local) {
        platform::FileStatus now;
        if (platform::statusOf(platform::encodeName(target).constData(), &now) != 0)
            return !read.valid && raw.isEmpty();
        return read.valid && now.sameVersion(read.status);
    }
    platform::FileStatus now;
    const bool there = platform::statusOf(platform::encodeName(target).constData(), &now) == 0;
    if (raw.isEmpty()) {
        // Nothing was read: no file, an empty one, or one of a length the
        // loader rejects that was kept aside; it must still be that.
        if (read.status.kind != platform::FileStatus::Regular)
            return !there;
        return there && now.sameVersion(read.named);
    }
    // A network mount's times say too little: the bytes themselves.
    QByteArray bytes;
    return readWhole(target, &bytes) && bytes == raw;
}

SettingsDatabase::SaveOutcome SettingsDatabase::saveMerged(Messenger& messenger,
                                                           const MergeAnswers& answers,
                                                           const Accept& accept, int editedSlot) {
    changed_.clear();
    templateChanged_ = false;
    const auto failed = [&messenger](MergeResult merge = {}) {
        tellWriteFailed(messenger);
        return SaveOutcome{Failed, std::move(merge), {}};
    };
    QString target;
    if (fileOffLimits_ || resolveLinks(fileName_, &target) != 0 || !mayReplace(target))
        return failed();
    FileSystemCalls& calls = calls_ ? *calls_ : FileSystemCalls::real();
    const unsigned mode = modeFor(target);
    const bool local =
        platform::volumeOf(platform::encodeName(target).constData()) == platform::Volume::Local;
    Lease* session = sessionFor(target, mode);
    // Started over when the lock turns out to have been another file's, or
    // the file changed under a lock that did not hold.
    for (int attempt = 0; attempt < 20; ++attempt) {
        // A lease for the run that was taken over while this copy slept (or
        // whose renewal failed) is this copy's no more: taken anew, or
        // another copy now has the folder.
        if (session && session->held() && !session->stillMine())
            session->release();
        DatabaseLock lock(target, mode, onWaiting, session, session != nullptr, &leaseWatch_);
        if (lock.heldForSession()) {
            heldBy_ = lock.holder();
            return {ReadOnly, {}, {}};
        }
        heldBy_.reset();
        if (!lock.ok())
            return failed();
        SaveOutcome outcome{Saved, {}, {}};
        QByteArray noteBytes = SaveNote::read(target);
        std::optional<SaveNote> note = SaveNote::parse(noteBytes);
        // The usual case, one copy alone: the file is still what this copy
        // last wrote or read (a local file system's stat says so reliably),
        // so there is nothing to merge and the table in memory is written
        // as it is.
        const bool alone = !mergePending_ && seen_ == FileSeen::of(target);
        QByteArray file, raw, mine;
        FileSeen read = seen_;
        if (!alone) {
            if (!readConsistent(target, local, &file, &raw, &read, &noteBytes, &note)) {
                lock.releaseAll(); // no box while other copies wait
                return failed();   // never merged: memory keeps everything
            }
            checkWritten(raw.isEmpty() ? QByteArray() : file, note);
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
                    return {Refused, {}, {}};
            } else {
                SettingsDatabase merged;
                merged.setTable(outcome.merge.table, false); // only looked at
                if (!accept(merged, outcome.merge))
                    return {Refused, std::move(outcome.merge), {}};
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
        // Right before the rename: both locks still this copy's and the file
        // still the one merged with; right after it, on a network mount, the
        // file read back is the one written.
        // The locks last: what stalls (a laptop put to sleep) happens
        // before the rename rather than between the look and the rename.
        const auto mayRename = [&] {
            return unchangedSince(target, local, raw, read) && lock.stillHeld();
        };
        std::function<bool()> readBack;
        if (!local)
            readBack = [&] {
                QByteArray back;
                return readWhole(target, &back) && back == written();
            };
        const Write write = writeLocked(target, mode, calls, writeTable, written, replaced, same,
                                        mayRename, readBack, quietSince(target, lock));
        if (write == Write::LockLost)
            continue; // another copy may have written meanwhile: read it again
        if (write == Write::Failed) {
            // Cards this copy keeps against the file's loss of them: the
            // file becomes the base all the same, so the question is not
            // asked again until the file changes again.
            if (!alone && !answers.goneAsked.empty() && !answers.acceptGone)
                adopt(mine, file, read, outcome.merge, true);
            lock.releaseAll();
            return failed(std::move(outcome.merge));
        }
        // The note of this save, for the looks of every copy: onto the note
        // as it is now, whatever came in while this save wrote.
        const auto noteNow = SaveNote::parse(SaveNote::read(target));
        SaveNote next = noteNow ? *noteNow : note ? *note : SaveNote{};
        const SaveNote::Entry entry{SaveNote::newId(), note ? note->latest() : 0,
                                    local ? 0u : SaveNote::sumOf(written())};
        next.saves.insert(next.saves.begin(), entry);
        if (next.saves.size() > std::size_t(SaveNote::Kept))
            next.saves.resize(SaveNote::Kept);
        seenNote_ = next.text();
        (void)SaveNote::write(target, seenNote_, mode, !local); // without it, stat still tells
        if (!alone) {
            std::vector<int> also = answers.goneAsked;
            for (const auto& moved : outcome.merge.relocations)
                also.push_back(moved.to);
            rememberWritten(
                entry.id, entry.base, [&](int i) { return result.constData() + qint64(i) * B; },
                [&](int i) { return file.constData() + qint64(i) * B; }, also);
            noteChanges(result);
            setTable(result, false); // the base from here on
        } else {
            rememberWritten(
                entry.id, entry.base, [&](int i) { return rowInMemory(i).data(); },
                [&](int i) { return baseRow(i).data(); }, {});
        }
        outcome.rewritten.swap(buried_);
        settle();
        return outcome;
    }
    return failed();
}

SettingsDatabase::Write SettingsDatabase::writeLocked(
    const QString& target, unsigned mode, FileSystemCalls& calls,
    const std::function<bool(QIODevice&)>& write, const std::function<QByteArray()>& written,
    const std::function<QByteArray()>& replaced, bool same, const std::function<bool()>& mayRename,
    const std::function<bool()>& readBack, std::int64_t quietSince) {
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
    const bool backUp = !quietWrite_;
    if (backUp && !same && !kept && replaced && !now.isEmpty()) {
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
    // What killed saves left, while no live save of any copy can be at work.
    removeStaleTemporaries(target, quietSince);
    Lease::removeScraps(target, quietSince);
    bool lockLost = false;
    bool replacedFile = ReplaceFileAtomically(target, write, calls, [&] {
        lockLost = !mayRename();
        return !lockLost;
    });
    if (replacedFile && readBack && !readBack())
        replacedFile = !(lockLost = true); // another's rename came after this one
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
    if (!backed && backUp) {
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
    // A write without a backup leaves the last one noted: the next save
    // that keeps one keeps this file as the version it replaces.
    if (backUp)
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
    QByteArray file, raw, noteBytes;
    std::optional<SaveNote> note;
    FileSeen read;
    {
        const unsigned mode = st.mode & 0666;
        DatabaseLock lock(target, mode, {}, sessionFor(target, mode), false, &leaseWatch_);
        // A copy that works alone replaces the file by a rename as any
        // save does: read without the lock, its file is whole all the same.
        if (lock.heldForSession())
            heldBy_ = lock.holder();
        else if (!lock.ok())
            return {};
        const bool local =
            platform::volumeOf(platform::encodeName(target).constData()) == platform::Volume::Local;
        if (!readConsistent(target, local, &file, &raw, &read, &noteBytes, &note) || raw.isEmpty())
            return {};
    }
    seenNote_ = noteBytes;
    checkWritten(file, note);
    TakeOutcome outcome;
    outcome.taken = true;
    if (!mergePending_ && baseEquals(file)) {
        seen_ = read;
        outcome.buried.swap(buried_);
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
    outcome.buried.swap(buried_);
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
    const bool local =
        platform::volumeOf(platform::encodeName(target).constData()) == platform::Volume::Local;
    // The backup's cards are in memory from here on, saved or not.
    noteChanges(table);
    setTable(table);
    for (int attempt = 0; attempt < 20; ++attempt) {
        DatabaseLock lock(target, mode, onWaiting, sessionFor(target, mode),
                          sessionFor(target, mode) != nullptr, &leaseWatch_);
        QByteArray file, raw;
        FileSeen read;
        if (lock.heldForSession())
            heldBy_ = lock.holder();
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
            [&table] { return table; }, {}, false,
            [&] { return lock.stillHeld() && unchangedSince(target, local, raw, read); }, {},
            quietSince(target, lock));
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

MergeResult SettingsDatabase::mergeFromSource(const QByteArray& base, const QByteArray& theirs,
                                              const std::vector<ProgrammingStamp>& stamps,
                                              const MergeAnswers& answers) {
    changed_.clear();
    templateChanged_ = false;
    const QByteArray mine = tableBytes();
    MergeResult merge = mergeTables(base, mine, theirs, stamps, -1, answers);
    if (merge.needsAnswers() || merge.noRoom())
        return merge;
    noteChanges(merge.table);
    setTable(merge.table);
    return merge;
}

SettingsDatabase::SaveOutcome SettingsDatabase::saveTaken(Messenger& messenger) {
    quietWrite_ = true;
    SaveOutcome outcome = saveMerged(messenger);
    quietWrite_ = false;
    return outcome;
}

void SettingsDatabase::takeRowsFromSource(const std::vector<std::pair<int, SettingsRecord>>& rows) {
    changed_.clear();
    templateChanged_ = false;
    for (const auto& [slot, record] : rows) {
        if (rowInMemory(slot) == record)
            continue;
        Slot(slot) = record; // this copy's change against the file, for the next save
        changed_.push_back(slot);
    }
    std::sort(changed_.begin(), changed_.end());
}
