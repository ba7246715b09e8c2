#include "store/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <cerrno>

int FileSystemCalls::createTemp(std::string& pattern) {
    return platform::createTemporary(pattern);
}

long long FileSystemCalls::write(int fd, const void* data, std::size_t size) {
    return platform::writeSome(fd, data, size);
}

int FileSystemCalls::fsync(int fd) {
    return platform::syncFile(fd);
}

int FileSystemCalls::close(int fd) {
    return platform::closeFile(fd);
}

int FileSystemCalls::link(const char* from, const char* to) {
    return platform::hardLink(from, to);
}

int FileSystemCalls::rename(const char* from, const char* to) {
    return platform::replaceFile(from, to);
}

int FileSystemCalls::unlink(const char* path) {
    return platform::removeFile(path);
}

int FileSystemCalls::syncDirectory(const char* dir) {
    return platform::syncDirectory(dir);
}

int FileSystemCalls::stat(const char* path, platform::FileStatus* st) {
    return platform::statusOf(path, st);
}

int FileSystemCalls::takeAccessOf(int fd, const char* like, const platform::FileStatus& st) {
    return platform::takeAccessOf(fd, like, st);
}

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
            const long long n =
                calls_.write(fd_, data + done, static_cast<std::size_t>(size - done));
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

void removeStaleTemporaries(const QString& path, std::int64_t quietSince) {
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
            removeIfAbandoned(dir.filePath(name), quietSince);
        }
    }
}

void removeIfAbandoned(const QString& path, std::int64_t quietSince) {
    const QByteArray file = platform::encodeName(path);
    const int fd = platform::openFile(file.constData(), platform::ReadOnly | platform::NonBlocking |
                                                            platform::NoFollow);
    if (fd < 0)
        return;
    platform::FileStatus st;
    // A writer at work holds its temporary file locked.
    const bool abandoned = platform::statusOf(fd, &st) == 0 && st.regular() && st.mine &&
                           st.modifiedSeconds <= quietSince && platform::lockWhole(fd, false);
    // Closed first: Windows removes no file that is open.
    platform::closeFile(fd);
    if (abandoned)
        platform::removeFile(file.constData());
}

int resolveLinks(const QString& path, QString* target) {
    QByteArray at = platform::encodeName(QFileInfo(path).absoluteFilePath());
    for (int hops = 0; hops < 40; ++hops) {
        platform::FileStatus st;
        if (const int error = platform::statusOf(at.constData(), &st, false)) {
            if (error != ENOENT)
                return error;
            *target = platform::decodeName(at);
            return 0;
        }
        if (st.kind != platform::FileStatus::Link) {
            *target = platform::decodeName(at);
            return 0;
        }
        QByteArray next;
        if (const int error = platform::readLink(at.constData(), &next))
            return error;
        if (!platform::isAbsoluteName(next))
            next = platform::folderOf(at) + next;
        at = next;
    }
    return ELOOP;
}

bool mayReplace(const QString& target) {
    const QByteArray name = platform::encodeName(target);
    platform::FileStatus st;
    if (const int error = platform::statusOf(name.constData(), &st, false))
        return error == ENOENT;
    return st.regular() && (st.mode & 0222) != 0 && platform::mayWrite(name.constData());
}

bool ReplaceFileAtomically(const QString& path, const std::function<bool(QIODevice&)>& writeContent,
                           FileSystemCalls& calls, const std::function<bool()>& mayRename) {
    // Replace the file a chain of symbolic links leads to, not a link.
    QString target;
    if (resolveLinks(path, &target) != 0)
        return false;
    const QByteArray targetName = platform::encodeName(QFileInfo(target).absoluteFilePath());
    const QByteArray dirName = platform::encodeName(QFileInfo(target).absolutePath());

    std::string tempName = targetName.toStdString() + ".tmp-XXXXXX";
    const int fd = calls.createTemp(tempName);
    if (fd < 0)
        return false;
    // Held until the file is closed: the sign, for a later sweep, that this
    // temporary file is not a leftover.
    (void)platform::lockWhole(fd, true);

    bool ok = true;
    platform::FileStatus old;
    const bool replacing = calls.stat(targetName.constData(), &old) == 0;
    if (replacing)
        ok = calls.takeAccessOf(fd, targetName.constData(), old) == 0;
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
