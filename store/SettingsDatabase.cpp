#include "store/SettingsDatabase.h"

#include "store/AtomicFile.h"
#include "store/Backup.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

namespace {

// Reads up to `size` bytes, as many as the device gives; a pipe or a slow
// device may hand them over in parts.
qint64 readFully(QIODevice& device, char* into, qint64 size) {
    qint64 done = 0;
    while (done < size) {
        const qint64 n = device.read(into + done, size - done);
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

QString systemReason(int error) {
    return platform::errorText(error);
}

// Copies the open file `from` to a new file of its own, readable by its
// owner only, named `base` or, where that is taken, `base`-2, -3, ...
// Returns the new file's path, or an empty one with the reason.
QString keepCopy(int from, const QString& base, QString* reason) {
    QString name = base;
    int fd = -1;
    for (int n = 2; n < 1000; ++n) {
        fd = platform::openFile(platform::encodeName(name).constData(),
                                platform::WriteOnly | platform::Create | platform::Exclusive |
                                    platform::NoFollow,
                                0600);
        if (fd >= 0 || errno != EEXIST)
            break;
        name = base + QStringLiteral("-%1").arg(n);
    }
    if (fd < 0) {
        *reason = systemReason(errno);
        return {};
    }
    char buffer[1 << 16];
    std::int64_t at = 0;
    bool ok = true;
    for (;;) {
        const long long n = platform::readAt(from, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (long long done = 0; ok && done < n;) {
            const long long w =
                platform::writeSome(fd, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                ok = false;
            else
                done += w;
        }
        if (!ok)
            break;
        at += n;
    }
    if (ok && platform::syncFile(fd) != 0)
        ok = false;
    const int error = errno;
    platform::closeFile(fd);
    if (!ok) {
        *reason = systemReason(error);
        platform::removeFile(platform::encodeName(name).constData());
        return {};
    }
    return name;
}

} // namespace

// Until a file is loaded, the base is an empty table, as memory is.
SettingsDatabase::SettingsDatabase() : slots_(SlotCount), baseRows_(SlotCount + 1) {}

bool SettingsDatabase::Load() {
    stamps_.clear();
    mergePending_ = false;
    const bool whole = loadFile();
    // What other copies save later is merged against the file as read: the
    // table, or nothing when there was no table to read.
    if (report_.kind == LoadReport::Loaded) {
        rememberBase();
    } else {
        seen_ = {};
        setBase({});
    }
    return whole;
}

bool SettingsDatabase::loadFile() {
    report_ = {};
    keptAside_ = false;
    QString target;
    if (const int error = resolveLinks(fileName_, &target)) {
        fileOffLimits_ = true;
        report_.kind = error == ELOOP ? LoadReport::NotRegular : LoadReport::Unreadable;
        report_.reason = systemReason(error);
        return false;
    }
    sweepLeftovers(target);
    // The note before the file: a save that comes between is then seen as
    // a change at the next look.
    seenNote_ = SaveNote::read(target);
    // Without blocking: a FIFO under the name must not hang the start.
    const int fd = platform::openFile(platform::encodeName(target).constData(),
                                      platform::ReadOnly | platform::NonBlocking);
    if (fd < 0) {
        if (errno == ENOENT)
            return false;
        fileOffLimits_ = true;
        report_ = {LoadReport::Unreadable, systemReason(errno), 0, {}};
        return false;
    }
    platform::FileStatus st;
    if (platform::statusOf(fd, &st) != 0 || !st.regular()) {
        platform::closeFile(fd);
        fileOffLimits_ = true;
        report_.kind = LoadReport::NotRegular;
        return false;
    }
    const qint64 length = st.size;
    if (length == 0) {
        platform::closeFile(fd);
        report_.kind = LoadReport::Empty;
        return false;
    }
    if (length % SettingsRecord::Size != 0) {
        // Loaded as nothing, but kept: the first save would otherwise take
        // whatever cards it holds with it.
        const QString base =
            QFileInfo(target).absolutePath() + QLatin1Char('/') + QFileInfo(fileName_).fileName() +
            QStringLiteral(".unread-") +
            QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
        QString reason;
        report_.keptAs = keepCopy(fd, base, &reason);
        platform::closeFile(fd);
        keptAside_ = !report_.keptAs.isEmpty();
        kept_ = st;
        keptLength_ = length;
        report_.length = length;
        if (report_.keptAs.isEmpty()) {
            fileOffLimits_ = true;
            report_.kind = LoadReport::Unreadable;
            report_.reason = reason;
        } else {
            report_.kind = LoadReport::WrongLength;
        }
        return false;
    }
    // Read straight from the descriptor into the table: no buffer between.
    int readError = 0;
    const auto readFile = [fd, &readError](char* into, qint64 size) {
        qint64 done = 0;
        while (done < size) {
            const long long n = platform::readSome(fd, into + done, std::size_t(size - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                readError = errno;
            if (n <= 0)
                break;
            done += n;
        }
        return done;
    };
    const bool whole = readBlocks(readFile, length);
    platform::closeFile(fd);
    if (!whole) {
        // What came is shown, but a save would lose the rest.
        fileOffLimits_ = true;
        report_ = {LoadReport::Unreadable,
                   readError != 0 ? systemReason(readError)
                                  : QStringLiteral("Файл прочитан не полностью."),
                   0,
                   {}};
        return false;
    }
    report_.kind = LoadReport::Loaded;
    // What stat said of exactly the bytes read, for the next save's look.
    seen_ = length == FileSize ? FileSeen::from(st, target) : FileSeen{};
    kept_ = st;
    keptLength_ = length;
    return true;
}

bool SettingsDatabase::loadFrom(QIODevice& device, qint64 length) {
    // The base stays the file this copy last loaded or saved.
    const QByteArray before = tableBytes();
    const bool whole = readBlocks(
        [&device](char* into, qint64 size) { return readFully(device, into, size); }, length);
    const QByteArray after = tableBytes();
    setTable(before, false); // the rows as they were, their base as it was
    setTable(after);         // each row the read changed keeps its base first
    return whole;
}

bool SettingsDatabase::readBlocks(const std::function<qint64(char*, qint64)>& read, qint64 length) {
    constexpr qint64 block = SettingsRecord::Size;
    if (length <= 0 || length % block != 0)
        return false;
    const qint64 records = std::min<qint64>(length / block - 1, SlotCount);
    // The slots lie one after another, so they are read in one go; a short
    // read leaves the slots before it whole and the one it fell in partly
    // filled, as block-by-block reading would.
    auto* into = reinterpret_cast<char*>(slots_.data()->data());
    if (read(into, records * block) != records * block)
        return false;
    return read(reinterpret_cast<char*>(template_.data()), block) == block;
}

bool SettingsDatabase::writeTo(QIODevice& device) const {
    const qint64 slotBytes = qint64(SlotCount) * SettingsRecord::Size;
    if (device.write(reinterpret_cast<const char*>(slots_.data()->data()), slotBytes) != slotBytes)
        return false;
    return device.write(reinterpret_cast<const char*>(template_.data()), SettingsRecord::Size) ==
           SettingsRecord::Size;
}

QString SettingsDatabase::finalPath() const {
    QString target;
    return resolveLinks(fileName_, &target) == 0 ? target : QString();
}

int SettingsDatabase::firstFreeSlot() const {
    for (int i = 0; i < SlotCount; ++i)
        if (!Slot(i).IsUsed())
            return i;
    return -1;
}
