#include "store/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int FileSystemCalls::createTemp(std::string& pattern) {
    // mkstemp creates the file with mode 0600.
    return ::mkostemp(pattern.data(), O_CLOEXEC);
}

ssize_t FileSystemCalls::write(int fd, const void* data, size_t size) {
    return ::write(fd, data, size);
}

int FileSystemCalls::fsync(int fd) { return ::fsync(fd); }

int FileSystemCalls::close(int fd) { return ::close(fd); }

int FileSystemCalls::link(const char* from, const char* to) { return ::link(from, to); }

int FileSystemCalls::rename(const char* from, const char* to) { return ::rename(from, to); }

int FileSystemCalls::unlink(const char* path) { return ::unlink(path); }

int FileSystemCalls::syncDirectory(const char* dir) {
    const int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int rc = ::fsync(fd);
    ::close(fd);
    return rc;
}

int FileSystemCalls::stat(const char* path, struct ::stat* st) { return ::stat(path, st); }

int FileSystemCalls::fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

int FileSystemCalls::fchown(int fd, uid_t uid, gid_t gid) { return ::fchown(fd, uid, gid); }

FileSystemCalls& FileSystemCalls::real() {
    static FileSystemCalls calls;
    return calls;
}

namespace {

// A write-only, unbuffered device over a file descriptor that fails as soon
// as the system stores less than it was given without saying why.
class DescriptorWriter final : public QIODevice {
public:
    DescriptorWriter(int fd, FileSystemCalls& calls) : fd_(fd), calls_(calls) {
        QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override {
        qint64 done = 0;
        while (done < size) {
            const ssize_t n =
                calls_.write(fd_, data + done, static_cast<size_t>(size - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return -1;
            done += n;
        }
        return done;
    }

private:
    int fd_;
    FileSystemCalls& calls_;
};

} // namespace

namespace {

// "<name>.tmp-XXXXXX", the six characters as mkstemp makes them, and
// optionally ".old" after it.
bool isTemporaryName(const QString& name, const QString& prefix, bool* second) {
    if (!name.startsWith(prefix))
        return false;
    QStringView rest = QStringView(name).mid(prefix.size());
    *second = rest.endsWith(QLatin1String(".old"));
    if (*second)
        rest.chop(4);
    if (rest.size() != 6)
        return false;
    for (QChar c : rest) {
        if (!(c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))))
            return false;
    }
    return true;
}

} // namespace

void RemoveStaleTemporaries(const QString& path) {
    const QFileInfo target(path);
    const QString prefix = target.fileName() + QStringLiteral(".tmp-");
    QDir dir = target.absoluteDir();
    const QStringList names =
        dir.entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
    for (bool seconds : {false, true}) {
        for (const QString& name : names) {
            bool second = false;
            if (!isTemporaryName(name, prefix, &second) || second != seconds)
                continue;
            // A second name goes only once its temporary file has gone.
            if (second && QFileInfo::exists(dir.filePath(name.chopped(4))))
                continue;
            RemoveIfAbandoned(dir.filePath(name));
        }
    }
}

void RemoveIfAbandoned(const QString& path) {
    const QByteArray file = QFile::encodeName(path);
    const int fd = ::open(file.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    struct ::stat st {};
    // A writer at work holds its temporary file locked.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0)
        ::unlink(file.constData());
    ::close(fd);
}

int ResolveLinks(const QString& path, QString* target) {
    QByteArray at = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    for (int hops = 0; hops < 40; ++hops) {
        struct ::stat st {};
        if (::lstat(at.constData(), &st) != 0) {
            if (errno != ENOENT)
                return errno;
            *target = QFile::decodeName(at);
            return 0;
        }
        if (!S_ISLNK(st.st_mode)) {
            *target = QFile::decodeName(at);
            return 0;
        }
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink(at.constData(), buffer, sizeof buffer - 1);
        if (n < 0)
            return errno;
        QByteArray next(buffer, n);
        if (!next.startsWith('/'))
            next = at.left(at.lastIndexOf('/') + 1) + next;
        at = next;
    }
    return ELOOP;
}

bool MayReplace(const QString& target) {
    const QByteArray name = QFile::encodeName(target);
    struct ::stat st {};
    if (::lstat(name.constData(), &st) != 0)
        return errno == ENOENT;
    return S_ISREG(st.st_mode) && (st.st_mode & 0222) != 0 &&
           ::faccessat(AT_FDCWD, name.constData(), W_OK, AT_EACCESS) == 0;
}

bool ReplaceFileAtomically(const QString& path, const std::function<bool(QIODevice&)>& writeContent,
                           FileSystemCalls& calls, const std::function<bool()>& mayRename) {
    // Replace the file a chain of symbolic links leads to, not a link.
    QString target;
    if (ResolveLinks(path, &target) != 0)
        return false;
    const QByteArray targetName = QFileInfo(target).absoluteFilePath().toLocal8Bit();
    const QByteArray dirName = QFileInfo(target).absolutePath().toLocal8Bit();

    std::string tempName = targetName.toStdString() + ".tmp-XXXXXX";
    RemoveStaleTemporaries(target);
    const int fd = calls.createTemp(tempName);
    if (fd < 0)
        return false;
    // Held until the file is closed: the sign, for a later sweep, that this
    // temporary file is not a leftover.
    ::flock(fd, LOCK_EX);

    bool ok = true;
    struct ::stat old {};
    const bool replacing = calls.stat(targetName.constData(), &old) == 0;
    if (replacing) {
        ok = calls.fchmod(fd, old.st_mode & 07777) == 0;
        if (ok && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()))
            calls.fchown(fd, old.st_uid, old.st_gid); // best effort: only root may give files away
    }
    if (ok) {
        DescriptorWriter device(fd, calls);
        ok = writeContent(device);
    }
    if (ok)
        ok = calls.fsync(fd) == 0;
    if (calls.close(fd) != 0)
        ok = false;
    // A second name for the old file, so that it can be put back if the
    // rename cannot be made durable.
    std::string keep;
    if (ok && replacing) {
        keep = tempName + ".old";
        if (calls.link(targetName.constData(), keep.c_str()) != 0)
            keep.clear();
    }
    if (ok && mayRename)
        ok = mayRename();
    if (ok)
        ok = calls.rename(tempName.c_str(), targetName.constData()) == 0;
    if (!ok) {
        calls.unlink(tempName.c_str());
        if (!keep.empty())
            calls.unlink(keep.c_str());
        return false;
    }
    if (calls.syncDirectory(dirName.constData()) != 0) {
        if (!keep.empty())
            calls.rename(keep.c_str(), targetName.constData());
        else if (!replacing)
            calls.unlink(targetName.constData());
        return false;
    }
    if (!keep.empty())
        calls.unlink(keep.c_str());
    return true;
}
