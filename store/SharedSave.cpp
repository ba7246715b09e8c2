// Saving when other copies of the program may share the file: the lock, the
// merge card by card, taking another copy's changes, backups.
#include "store/SettingsDatabase.h"

#include "store/AtomicFile.h"
#include "store/Backup.h"
#include "store/Messenger.h"
#include "store/CardFields.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

constexpr qint64 B = SettingsRecord::Size;
constexpr int LockWaitMs = 10000;
constexpr int LockPollMs = 50;

// The record lock on "<file>.lock": taken for the span of one save, released
// by the system when the process dies. Where the file system has no record
// locks the save goes on without one, as a single copy would.
class DatabaseLock {
public:
    DatabaseLock(const QString& target, mode_t mode, const std::function<void(bool)>& waiting) {
        const QByteArray name = QFile::encodeName(SettingsDatabase::lockFileOf(target));
        // Never replaced or deleted; made with the database's permission bits,
        // so that whoever may write the database may lock it.
        const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
        fd_ = ::open(name.constData(), flags | O_CREAT | O_EXCL, mode);
        if (fd_ >= 0)
            ::fchmod(fd_, mode);
        else if (errno == EEXIST)
            fd_ = ::open(name.constData(), flags);
        struct ::stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
            return;
        struct ::flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        bool told = false;
        for (int waited = 0;; waited += LockPollMs) {
            if (::fcntl(fd_, F_OFD_SETLK, &lock) == 0)
                break;
            if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS)
                break; // no record locks here: on without one
            if ((errno != EAGAIN && errno != EACCES) || waited >= LockWaitMs) {
                if (told && waiting)
                    waiting(false);
                return;
            }
            if (!told && waiting)
                waiting(true);
            told = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(LockPollMs));
        }
        if (told && waiting)
            waiting(false);
        ok_ = true;
    }
    ~DatabaseLock() { release(); }
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;
    bool ok() const { return ok_; }
    void release() {
        if (fd_ >= 0)
            ::close(fd_); // closing the description drops its lock
        fd_ = -1;
        ok_ = false;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

const std::uint8_t* slotAt(const QByteArray& table, int i) {
    return reinterpret_cast<const std::uint8_t*>(table.constData()) + i * B;
}

bool sameSlot(const QByteArray& a, const QByteArray& b, int i) {
    return std::memcmp(slotAt(a, i), slotAt(b, i), B) == 0;
}

SettingsRecord recordAt(const QByteArray& table, int i) {
    SettingsRecord r;
    std::memcpy(r.data(), slotAt(table, i), B);
    return r;
}

// Whether two versions of a slot differ in its programming stamp only.
bool onlyStampDiffers(const QByteArray& a, const QByteArray& b, int i) {
    SettingsRecord x = recordAt(a, i);
    const SettingsRecord y = recordAt(b, i);
    x.setProgDate(y.ProgDate());
    x.setProgID1(y.ProgID1());
    x.setProgID2(y.ProgID2());
    return std::memcmp(x.data(), y.data(), B) == 0;
}

// Network file systems may cache what stat tells: there the file is always
// read afresh.
bool onNetwork(const QByteArray& path) {
    struct ::statfs fs {};
    if (::statfs(path.constData(), &fs) != 0)
        return true;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:     // NFS
    case 0x517B:     // SMB
    case 0xFF534D42: // CIFS
    case 0xFE534D42: // SMB2
    case 0x65735546: // FUSE
    case 0x00C36400: // Ceph
    case 0x5346414F: // AFS
    case 0x01021997: // 9P
    case 0x0BD00BD0: // Lustre
    case 0x01161970: // GFS2
    case 0x7461636F: // OCFS2
        return true;
    default:
        return false;
    }
}

} // namespace

SettingsDatabase::FileSeen SettingsDatabase::FileSeen::of(const QString& target) {
    struct ::stat st {};
    const QByteArray name = QFile::encodeName(target);
    if (::stat(name.constData(), &st) != 0)
        return {};
    return from(st, target);
}

SettingsDatabase::FileSeen SettingsDatabase::FileSeen::from(const struct ::stat& st,
                                                            const QString& target) {
    FileSeen seen;
    if (!S_ISREG(st.st_mode))
        return seen;
    seen.valid = !onNetwork(QFile::encodeName(target));
    seen.dev = st.st_dev;
    seen.ino = st.st_ino;
    seen.size = st.st_size;
    seen.mtime = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    seen.ctime = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    return seen;
}

bool SettingsDatabase::FileSeen::operator==(const FileSeen& o) const {
    return valid && o.valid && dev == o.dev && ino == o.ino && size == o.size && mtime == o.mtime &&
           ctime == o.ctime;
}

SettingsDatabase::~SettingsDatabase() = default;

void SettingsDatabase::sweepLeftovers(const QString& target) {
    struct ::stat st {};
    const mode_t mode = ::stat(QFile::encodeName(target).constData(), &st) == 0 ? (st.st_mode & 0666)
                                                                               : 0600;
    DatabaseLock lock(target, mode, {});
    if (lock.ok())
        RemoveStaleTemporaries(target);
}

bool SettingsDatabase::fileMayHaveChanged() const {
    QString target;
    if (fileOffLimits_ || ResolveLinks(fileName_, &target) != 0)
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
    base_.detach();
    base_.resize(FileSize);
    std::memcpy(base_.data(), slots_.data()->data(), std::size_t(SlotCount) * B);
    std::memcpy(base_.data() + qint64(SlotCount) * B, template_.data(), B);
}

void SettingsDatabase::setTable(const QByteArray& bytes) {
    std::memcpy(slots_.data()->data(), bytes.constData(), std::size_t(SlotCount) * B);
    std::memcpy(template_.data(), bytes.constData() + qint64(SlotCount) * B, B);
}

bool SettingsDatabase::readTable(const QString& target, QByteArray* table, QByteArray* raw,
                                 FileSeen* seen) const {
    raw->clear();
    *seen = {};
    *table = QByteArray(FileSize, '\0');
    const int fd = ::open(QFile::encodeName(target).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT; // nothing there: nothing to merge
    struct ::stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const qint64 length = ok ? st.st_size : 0;
    if (ok && length > 0 && length % B == 0) {
        raw->resize(length);
        qint64 done = 0;
        while (done < length) {
            const ssize_t n = ::read(fd, raw->data() + done, std::size_t(length - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        ok = done == length;
    } else if (ok && length != 0 && !(keptAside_ && st.st_ino == keptIno_ && length == keptLength_)) {
        ok = false; // a length the loader rejects (a file kept aside at start excepted)
    }
    ::close(fd);
    // What stat said of exactly the bytes read: a writer always replaces the
    // file by a rename, so these bytes and this answer go together.
    if (ok)
        *seen = FileSeen::from(st, target);
    if (!ok || raw->isEmpty())
        return ok;
    if (length == FileSize) {
        *table = *raw;
        return true;
    }
    // A table of another length, once this copy has had a whole one, is a
    // damaged file (merged, its missing cards would count as deleted) unless
    // it is the very file this copy loaded.
    if (baseIsTable_ && !(st.st_ino == keptIno_ && length == keptLength_))
        return false;
    const qint64 records = std::min<qint64>(length / B - 1, SlotCount);
    std::memcpy(table->data(), raw->constData(), std::size_t(records * B));
    std::memcpy(table->data() + qint64(SlotCount) * B, raw->constData() + records * B, B);
    return true;
}

void SettingsDatabase::StampProgrammed(int slot, std::uint16_t frameCrc, double now) {
    SettingsRecord& r = Slot(slot);
    const Stamp before{slot, r.ProgDate(), r.ProgID1(), r.ProgID2(), 0, 0, 0};
    r.StampProgrammed(frameCrc, now);
    stamps_.push_back(before);
    Stamp& s = stamps_.back();
    s.newDate = r.ProgDate();
    s.newId1 = r.ProgID1();
    s.newId2 = r.ProgID2();
}

SettingsDatabase::SaveResult SettingsDatabase::SaveMerged(
    Messenger& messenger, const std::function<bool(const SettingsDatabase&)>& accept) {
    changed_.clear();
    // A question asked during the save runs the event loop: nothing may take
    // the file's changes into memory under the merge's feet meanwhile.
    struct Saving {
        bool& flag;
        explicit Saving(bool& f) : flag(f) { flag = true; }
        ~Saving() { flag = false; }
    } saving(saving_);
    const auto failed = [&messenger] {
        messenger.inform(QStringLiteral("Ошибка"), QStringLiteral("Ошибка записи на диск"));
        return Failed;
    };
    QString target;
    if (fileOffLimits_ || ResolveLinks(fileName_, &target) != 0 || !MayReplace(target))
        return failed();
    FileSystemCalls& calls = calls_ ? *calls_ : FileSystemCalls::real();
    struct ::stat existing {};
    const mode_t mode = ::stat(QFile::encodeName(target).constData(), &existing) == 0
                            ? (existing.st_mode & 0666)
                            : 0600;
    // The usual case, one copy alone: the file is still what this copy last
    // wrote or read (a local file system's stat says so reliably), so there
    // is nothing to merge and the table in memory is written as it is.
    {
        DatabaseLock lock(target, mode, onWaiting);
        if (!lock.ok())
            return failed();
        if (seen_ == FileSeen::of(target)) {
            if (accept && !accept(*this))
                return Refused;
            // A save that writes what the file holds already (the save on
            // closing, say) needs no backup of it.
            const bool same =
                std::memcmp(base_.constData(), slots_.data()->data(), std::size_t(SlotCount) * B) == 0 &&
                std::memcmp(base_.constData() + qint64(SlotCount) * B, template_.data(), B) == 0;
            const QString held =
                seen_.size > 0 && !same ? BackupKeeper::holdOld(target, mode) : QString();
            if (!ReplaceFileAtomically(
                    target, [this](QIODevice& device) { return WriteTo(device); }, calls)) {
                BackupKeeper::drop(held);
                return failed();
            }
            seen_ = FileSeen::of(target);
            lock.release();
            if (!held.isEmpty())
                backups().keepOld(target, held, mode);
            rememberBase(); // the table written
            baseIsTable_ = true;
            stamps_.clear();
            keptAside_ = false;
            return Saved;
        }
    }

    // The stamps are no change of the cards' own: the merge looks at each
    // stamped slot as it was before its first stamp, and the save puts the
    // stamp onto whatever version of the slot it writes.
    const QByteArray current = tableBytes();
    QByteArray mine = current;
    for (auto s = stamps_.rbegin(); s != stamps_.rend(); ++s) {
        SettingsRecord r = recordAt(mine, s->slot);
        r.setProgDate(s->oldDate);
        r.setProgID1(s->oldId1);
        r.setProgID2(s->oldId2);
        std::memcpy(mine.data() + s->slot * B, r.data(), B);
    }

    // Answers to the questions asked so far: the file's version each was
    // asked about, and whether this copy's version was kept.
    struct Answer {
        QByteArray fileVersion;
        bool keepMine;
    };
    std::map<int, Answer> answers;
    for (;;) {
        DatabaseLock lock(target, mode, onWaiting);
        if (!lock.ok())
            return failed();
        QByteArray file, raw;
        FileSeen read;
        if (!readTable(target, &file, &raw, &read))
            return failed(); // never merged: memory keeps everything
        // A file gone or emptied meanwhile holds nothing to merge: the table
        // is written whole, so that no card is lost.
        if (raw.isEmpty())
            file = base_;
        QByteArray result = mine;
        std::vector<int> conflicts;
        if (file != base_) {
            for (int i = 0; i < SlotCount; ++i) {
                if (sameSlot(file, base_, i))
                    continue; // the file has nothing new here
                const bool mineChanged = !sameSlot(mine, base_, i);
                if (!mineChanged || sameSlot(mine, file, i)) {
                    std::memcpy(result.data() + i * B, slotAt(file, i), B);
                    continue;
                }
                // A programming stamp from another copy is no conflict: it
                // goes onto this copy's version.
                if (onlyStampDiffers(file, base_, i)) {
                    SettingsRecord r = recordAt(mine, i);
                    const SettingsRecord f = recordAt(file, i);
                    r.setProgDate(f.ProgDate());
                    r.setProgID1(f.ProgID1());
                    r.setProgID2(f.ProgID2());
                    std::memcpy(result.data() + i * B, r.data(), B);
                    continue;
                }
                const auto answer = answers.find(i);
                const QByteArray fileVersion(reinterpret_cast<const char*>(slotAt(file, i)), B);
                if (answer != answers.end() && answer->second.fileVersion == fileVersion) {
                    if (!answer->second.keepMine)
                        std::memcpy(result.data() + i * B, slotAt(file, i), B);
                } else {
                    conflicts.push_back(i);
                }
            }
            // The template: this copy's when it saved a card since, else the file's.
            if (sameSlot(mine, base_, SlotCount))
                std::memcpy(result.data() + qint64(SlotCount) * B, slotAt(file, SlotCount), B);
        }
        if (!conflicts.empty()) {
            // Asked without the lock, then everything is read again.
            lock.release();
            for (int i : conflicts) {
                // This copy's name for the card, or the file's where this copy
                // deleted it.
                const bool deleted = !recordAt(mine, i).IsUsed();
                const QString name = recordAt(deleted ? file : mine, i).text(Field::NCardEdit);
                const bool keepMine = messenger.ask(
                    QStringLiteral("Внимание"),
                    QStringLiteral("Карточка «%1» (строка %2) изменена или удалена в другой копии "
                                   "программы.\n\nСохранить ваш вариант?")
                        .arg(name)
                        .arg(i + 1));
                answers[i] = {QByteArray(reinterpret_cast<const char*>(slotAt(file, i)), B),
                              keepMine};
            }
            continue;
        }
        // Programming stamps go onto whatever version of their slot is written.
        for (const Stamp& s : stamps_) {
            SettingsRecord r = recordAt(result, s.slot);
            if (!r.IsUsed())
                continue; // deleted since: a free slot stays all zeros
            r.setProgDate(s.newDate);
            r.setProgID1(s.newId1);
            r.setProgID2(s.newId2);
            std::memcpy(result.data() + s.slot * B, r.data(), B);
        }
        if (accept && result != current) {
            SettingsDatabase merged;
            merged.setTable(result);
            if (!accept(merged))
                return Refused;
        } else if (accept && !accept(*this)) {
            return Refused;
        }
        const bool written = ReplaceFileAtomically(
            target,
            [&result](QIODevice& device) { return device.write(result) == result.size(); },
            calls);
        if (!written)
            return failed();
        seen_ = FileSeen::of(target);
        lock.release();
        // The version replaced is kept, compressed, after the save has returned.
        if (!raw.isEmpty() && raw != result)
            backups().keep(target, raw, mode);
        for (int i = 0; i < SlotCount; ++i)
            if (!sameSlot(result, current, i))
                changed_.push_back(i);
        if (result != current)
            setTable(result);
        base_ = result;
        baseIsTable_ = true;
        stamps_.clear();
        keptAside_ = false;
        return Saved;
    }
}

bool SettingsDatabase::TakeFileChanges() {
    changed_.clear();
    QString target;
    if (saving_ || fileOffLimits_ || ResolveLinks(fileName_, &target) != 0)
        return false;
    struct ::stat st {};
    if (::stat(QFile::encodeName(target).constData(), &st) != 0)
        return false; // nothing saved yet by anyone
    QByteArray file, raw;
    FileSeen read;
    {
        DatabaseLock lock(target, st.st_mode & 0666, {});
        if (!lock.ok() || !readTable(target, &file, &raw, &read) || raw.isEmpty())
            return false;
    }
    if (file == base_) {
        seen_ = read;
        return true;
    }
    QByteArray mine = tableBytes();
    bool bothChanged = false;
    for (int i = 0; i <= SlotCount; ++i) {
        if (sameSlot(file, base_, i))
            continue;
        if (sameSlot(mine, base_, i) || sameSlot(mine, file, i)) {
            // Nothing of this copy's own here: the file's version is taken.
            if (!sameSlot(mine, file, i) && i < SlotCount)
                changed_.push_back(i);
            std::memcpy(mine.data() + i * B, slotAt(file, i), B);
            std::memcpy(base_.data() + i * B, slotAt(file, i), B);
        } else {
            // Both changed: this copy's version and base stay, and the save asks.
            bothChanged = true;
        }
    }
    setTable(mine);
    baseIsTable_ = true;
    seen_ = bothChanged ? FileSeen{} : read;
    return true;
}
