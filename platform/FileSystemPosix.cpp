#include "platform/FileSystem.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace platform {

QByteArray encodeName(const QString& path) {
    return QFile::encodeName(path);
}

QString decodeName(const QByteArray& name) {
    return QFile::decodeName(name);
}

namespace {

void fill(const struct ::stat& st, FileStatus* status) {
    status->kind = S_ISREG(st.st_mode)   ? FileStatus::Regular
                   : S_ISDIR(st.st_mode) ? FileStatus::Directory
                   : S_ISLNK(st.st_mode) ? FileStatus::Link
                                         : FileStatus::Other;
    status->volume = st.st_dev;
    status->index = st.st_ino;
    status->size = st.st_size;
    status->modifiedSeconds = st.st_mtim.tv_sec;
    status->modifiedNanoseconds = st.st_mtim.tv_nsec;
    status->mode = st.st_mode & 07777;
    status->links = st.st_nlink;
    status->owner = st.st_uid;
    status->group = st.st_gid;
    status->mine = st.st_uid == ::geteuid();
}

} // namespace

int statusOf(const char* path, FileStatus* status, bool followLinks) {
    struct ::stat st {};
    if ((followLinks ? ::stat(path, &st) : ::lstat(path, &st)) != 0)
        return errno;
    fill(st, status);
    return 0;
}

int statusOf(int fd, FileStatus* status) {
    struct ::stat st {};
    if (::fstat(fd, &st) != 0)
        return errno;
    fill(st, status);
    return 0;
}

int openFile(const char* path, int flags, unsigned mode) {
    int f = O_CLOEXEC | O_NOCTTY;
    switch (flags & ReadWrite) {
    case WriteOnly:
        f |= O_WRONLY;
        break;
    case ReadWrite:
        f |= O_RDWR;
        break;
    default:
        f |= O_RDONLY;
        break;
    }
    if (flags & Create)
        f |= O_CREAT;
    if (flags & Exclusive)
        f |= O_EXCL;
    if (flags & Truncate)
        f |= O_TRUNC;
    if (flags & NoFollow)
        f |= O_NOFOLLOW;
    if (flags & NonBlocking)
        f |= O_NONBLOCK;
    return ::open(path, f, mode_t(mode));
}

int closeFile(int fd) {
    return ::close(fd);
}

long long readSome(int fd, void* data, std::size_t size) {
    return ::read(fd, data, size);
}

long long writeSome(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

long long readAt(int fd, void* data, std::size_t size, std::int64_t offset) {
    return ::pread(fd, data, size, off_t(offset));
}

long long writeAt(int fd, const void* data, std::size_t size, std::int64_t offset) {
    return ::pwrite(fd, data, size, off_t(offset));
}

int syncFile(int fd) {
    return ::fsync(fd);
}

int truncateFile(int fd) {
    return ::ftruncate(fd, 0);
}

int setMode(int fd, unsigned mode) {
    return ::fchmod(fd, mode_t(mode));
}

int takeAccessOf(int fd, const char*, const FileStatus& like) {
    if (::fchmod(fd, mode_t(like.mode)) != 0)
        return -1;
    if (like.owner != ::geteuid() || like.group != ::getegid())
        (void)!::fchown(fd, like.owner, like.group); // only root may give files away
    return 0;
}

int removeFile(const char* path) {
    return ::unlink(path);
}

int replaceFile(const char* from, const char* to) {
    return ::rename(from, to);
}

int hardLink(const char* from, const char* to) {
    return ::link(from, to);
}

int placeUnlessTaken(const char* from, const char* to) {
    return ::link(from, to);
}

int makeFolder(const char* path, unsigned mode) {
    return ::mkdir(path, mode_t(mode));
}

long long processId() {
    return ::getpid();
}

bool processRunning(long long pid) {
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

int syncDirectory(const char* dir) {
    const int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int rc = ::fsync(fd);
    ::close(fd);
    return rc;
}

int createTemporary(std::string& pattern) {
    // mkstemp creates the file with mode 0600.
    return ::mkostemp(pattern.data(), O_CLOEXEC);
}

bool lockWhole(int fd, bool wait) {
    return ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) == 0;
}

RecordLock lockRecord(int fd) {
    struct ::flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0)
        return RecordLock::Taken;
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS)
        return RecordLock::Unsupported;
    return errno == EAGAIN || errno == EACCES ? RecordLock::Busy : RecordLock::Failed;
}

bool mayWrite(const char* path) {
    return ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0;
}

int readLink(const char* path, QByteArray* target) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path, buffer, sizeof buffer - 1);
    if (n < 0)
        return errno;
    *target = QByteArray(buffer, n);
    return 0;
}

bool isAbsoluteName(const QByteArray& name) {
    return name.startsWith('/');
}

QByteArray folderOf(const QByteArray& name) {
    return name.left(name.lastIndexOf('/') + 1);
}

Volume volumeOf(const char* path) {
    struct ::statfs fs {};
    if (::statfs(path, &fs) != 0)
        return Volume::Untrusted;
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
        return Volume::Untrusted;
    default:
        return Volume::Local;
    }
}

namespace {

// The mount that holds `path`, as the kernel lists it: its file system's
// type ("fuse.sshfs"), and `rest`, the path below its mount point.
QByteArray mountTypeOf(const char* path, QByteArray* rest) {
    char resolved[PATH_MAX];
    QByteArray at = ::realpath(path, resolved) ? QByteArray(resolved) : QByteArray(path);
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return {};
    QByteArray best, type;
    // "36 35 98:0 /root /mnt rw,noatime master:1 - ext3 /dev/root rw": the
    // fifth field is the mount point, the first after " - " the type; a
    // blank in a point comes as \040.
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const int dash = int(fields.indexOf("-"));
        if (fields.size() < 5 || dash < 0 || dash + 1 >= fields.size())
            continue;
        QByteArray point = fields[4];
        point.replace("\\040", " ").replace("\\011", "\t").replace("\\134", "\\");
        const bool inside = point == "/" || at == point || at.startsWith(point + '/');
        if (inside && point.size() >= best.size()) {
            best = point;
            type = fields[dash + 1];
        }
    }
    *rest = at.mid(best == "/" ? 1 : best.size() + 1);
    return type;
}

} // namespace

bool exclusiveCreateHolds(const char* path) {
    struct ::statfs fs {};
    if (::statfs(path, &fs) != 0)
        return true; // nothing to judge by: the create itself will tell
    if (static_cast<unsigned long>(fs.f_type) != 0x65735546)
        return true; // a file system of the kernel's own, local or network
    // A user-space file system is as good as the store behind it: SFTP
    // and SMB create exclusively in one step, a cloud drive does not.
    QByteArray rest;
    const QByteArray type = mountTypeOf(path, &rest);
    // The desktop's bridge serves every kind of remote place under one
    // mount: only its SMB shares and SFTP hosts are such stores.
    if (type == "fuse.gvfsd-fuse")
        return rest.startsWith("smb-share:") || rest.startsWith("sftp:");
    for (const char* known : {"fuse.sshfs", "fuse.smbnetfs", "fuse.ntfs-3g", "fuseblk", "fuse.ntfs",
                              "fuse.exfat", "fuse.fuse-overlayfs"})
        if (type == known)
            return true;
    return false;
}

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace platform
