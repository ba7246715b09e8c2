#include "store/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <cerrno>
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

void RemoveStaleTemporaries(const QString& path) {
    const QFileInfo target(path);
    const QString prefix = target.fileName() + QStringLiteral(".tmp-");
    QDir dir = target.absoluteDir();
    const QStringList names =
        dir.entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (name.endsWith(QLatin1String(".old")))
            continue;
        const QByteArray file = QFile::encodeName(dir.filePath(name));
        const int fd = ::open(file.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        // A save in progress holds its temporary file locked.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(file.constData());
        ::close(fd);
    }
    for (const QString& name : names) {
        if (!name.endsWith(QLatin1String(".old")))
            continue;
        const QString temp = name.chopped(4);
        if (!QFileInfo::exists(dir.filePath(temp)))
            ::unlink(QFile::encodeName(dir.filePath(name)).constData());
    }
}

bool ReplaceFileAtomically(const QString& path, const std::function<bool(QIODevice&)>& writeContent,
                           FileSystemCalls& calls) {
    // Replace the file a symbolic link points to, not the link.
    QString target = path;
    const QFileInfo info(path);
    if (info.isSymLink() && !info.symLinkTarget().isEmpty())
        target = info.symLinkTarget();
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
