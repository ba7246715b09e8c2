#pragma once

// The file calls the store and the exchange log make, one implementation per
// system (FileSystemPosix.cpp, FileSystemWindows.cpp). Descriptors are the C
// library's on both. Names are bytes as encodeName gives them; errors are
// errno values (ENOENT for a missing file, EACCES, EBUSY, ...), so callers
// judge them alike everywhere.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A path as the system's calls take it, and back.
QByteArray encodeName(const QString& path);
QString decodeName(const QByteArray& name);

struct FileStatus {
    enum Kind { Regular, Directory, Link, Other };
    Kind kind = Other;
    // Which file this is: the same pair is the same file.
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::int64_t size = 0;
    // The last write, to the nanosecond where the file system keeps it.
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    // Permission bits (0644 style). Windows has one bit of its own, the
    // read-only attribute: 0444 with it, 0666 without.
    unsigned mode = 0;
    unsigned links = 1;
    unsigned owner = 0;
    unsigned group = 0;
    // Owned by the user the program runs as.
    bool mine = true;

    bool regular() const { return kind == Regular; }
    bool sameFile(const FileStatus& o) const { return volume == o.volume && index == o.index; }
    bool sameVersion(const FileStatus& o) const {
        return sameFile(o) && size == o.size && modifiedSeconds == o.modifiedSeconds &&
               modifiedNanoseconds == o.modifiedNanoseconds;
    }
};

// 0, or the system's error. `followLinks` false tells of a link itself.
[[nodiscard]] int statusOf(const char* path, FileStatus* status, bool followLinks = true);
[[nodiscard]] int statusOf(int fd, FileStatus* status);

enum OpenFlag {
    ReadOnly = 0x1,
    WriteOnly = 0x2,
    ReadWrite = 0x3,
    Create = 0x4,
    Exclusive = 0x8, // with Create: fails with EEXIST when the name exists
    Truncate = 0x10,
    NoFollow = 0x20,    // a link under the name is not opened
    NonBlocking = 0x40, // a FIFO without a writer must not hang the open
    KeepName = 0x80,    // Windows: while open, no one may delete or rename the file
};
// A new file gets `mode` (Windows: readable and writable by its maker and
// the system only, unless `mode` lets others read). -1 with errno set.
[[nodiscard]] int openFile(const char* path, int flags, unsigned mode = 0600);
// Closing a descriptor only read from, and removing a leftover, are
// clean-up: their callers go on the same way whatever they return.
int closeFile(int fd);
// As the system's read and write: the count done, or -1 with errno set.
[[nodiscard]] long long readSome(int fd, void* data, std::size_t size);
[[nodiscard]] long long writeSome(int fd, const void* data, std::size_t size);
// Reads at `offset` without moving the file's position.
[[nodiscard]] long long readAt(int fd, void* data, std::size_t size, std::int64_t offset);
// Writes at `offset` without moving the file's position.
[[nodiscard]] long long writeAt(int fd, const void* data, std::size_t size, std::int64_t offset);
[[nodiscard]] int syncFile(int fd);
[[nodiscard]] int truncateFile(int fd);
[[nodiscard]] int setMode(int fd, unsigned mode);
// Gives the file at `fd` the owner and access the file `like` has. Best
// effort for the owner: only an administrator may give files away.
[[nodiscard]] int takeAccessOf(int fd, const char* like, const FileStatus& likeStatus);
int removeFile(const char* path);
// Puts `from` in place of `to` in one step, replacing it if it exists, and
// returns once that is on the disk as far as the system can tell.
[[nodiscard]] int replaceFile(const char* from, const char* to);
// A second name for a file. Windows builds never use one: the store keeps
// versions by their bytes there, as it does where links are missing.
[[nodiscard]] int hardLink(const char* from, const char* to);
// Gives `from` the name `to` unless that is taken (EEXIST); `from` may
// still exist afterwards and is the caller's to remove.
[[nodiscard]] int placeUnlessTaken(const char* from, const char* to);
[[nodiscard]] int makeFolder(const char* path, unsigned mode);
long long processId();
// Whether a process of this machine with that number is still running.
bool processRunning(long long pid);
// Makes a replace inside the folder durable, where the system needs asking.
[[nodiscard]] int syncDirectory(const char* dir);
// Creates a new, empty file readable by its owner only from a pattern
// ending in XXXXXX, which it completes in place. The descriptor, or -1.
[[nodiscard]] int createTemporary(std::string& pattern);
// The whole-file lock a writer holds on its temporary file.
[[nodiscard]] bool lockWhole(int fd, bool wait);
enum class RecordLock { Taken, Busy, Unsupported, Failed };
// The lock between copies of the program, released by the system when the
// process dies.
[[nodiscard]] RecordLock lockRecord(int fd);
// Whether the running user could write the file at `path` in place.
bool mayWrite(const char* path);
// The target of a symbolic link at `path`; 0 or the system's error.
[[nodiscard]] int readLink(const char* path, QByteArray* target);
bool isAbsoluteName(const QByteArray& name);
// The part of a name up to and including its last separator.
QByteArray folderOf(const QByteArray& name);

enum class Volume {
    Local,
    // A file system whose times and sizes cannot be trusted to tell a
    // change: network drives, FAT and exFAT.
    Untrusted,
};
Volume volumeOf(const char* path);

// Whether creating a file exclusively in the folder of `path` is one step
// that every machine reaching the folder sees alike: true on local disks,
// NFS, SMB and the SFTP-backed mounts; false where the file system is a
// bridge to a store that has no such step (the cloud-storage mounts, WebDAV).
bool exclusiveCreateHolds(const char* path);

// The system's own words for an errno value.
QString errorText(int error);

} // namespace platform
