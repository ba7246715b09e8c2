#pragma once

#include "platform/FileSystem.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

class QIODevice;

// The system calls an atomic replacement makes. The program uses the real
// ones; tests override single calls to make any step fail.
class FileSystemCalls {
public:
    virtual ~FileSystemCalls() = default;
    // Creates a new, empty file readable by its owner only from a mkstemp
    // pattern, which it completes in place. Returns the descriptor or -1.
    [[nodiscard]] virtual int createTemp(std::string& pattern);
    [[nodiscard]] virtual long long write(int fd, const void* data, std::size_t size);
    [[nodiscard]] virtual int fsync(int fd);
    [[nodiscard]] virtual int close(int fd);
    [[nodiscard]] virtual int rename(const char* from, const char* to);
    [[nodiscard]] virtual int unlink(const char* path);
    [[nodiscard]] virtual int link(const char* from, const char* to);
    // Makes a rename inside the directory durable.
    [[nodiscard]] virtual int syncDirectory(const char* dir);
    [[nodiscard]] virtual int stat(const char* path, platform::FileStatus* st);
    // The new file gets the owner and access of the one it replaces.
    [[nodiscard]] virtual int takeAccessOf(int fd, const char* like,
                                           const platform::FileStatus& st);

    static FileSystemCalls& real();
};

// Replaces the file at `path` as a whole, or not at all: the content goes to
// a temporary file in the same directory, every write is checked, the file is
// synced, renamed over the old one and the directory is synced. On any failure
// the temporary file is removed and the old file is left as it was (a failed
// directory sync puts the old file back from a hard link kept for the
// purpose, where the file system has hard links). A new file
// is readable by its owner only; a replaced one keeps its mode.
// Removes what a save that was killed midway left beside `path`: temporary
// files of exactly the name a save gives them, regular, the running user's
// and held by no live save (a save keeps its temporary file locked), and the
// second names kept for them. Nothing else is touched. Where the lock a
// writer holds cannot be seen (another machine's, on a network mount), only
// files last written at `quietSince` or before count, by the folder's clock.
void removeStaleTemporaries(const QString& path,
                            std::int64_t quietSince = std::numeric_limits<std::int64_t>::max());

// Removes a temporary file that a killed writer left: regular, the running
// user's, not held locked by a writer still at work, and last written at
// `quietSince` or before.
void removeIfAbandoned(const QString& path,
                       std::int64_t quietSince = std::numeric_limits<std::int64_t>::max());

// Follows a chain of symbolic links to the path it finally names, which need
// not exist yet. 0, or the system's error (ELOOP for a loop).
[[nodiscard]] int resolveLinks(const QString& path, QString* target);

// Whether a save may put a new file in place of `target`: none is there, or a
// regular file the running user could write in place. A file without any
// write permission bit counts as read-only for everyone, root included.
bool mayReplace(const QString& target);

// `mayRename`, when given, is asked right before the new file is put in
// place; false gives up as a failure would.
[[nodiscard]] bool ReplaceFileAtomically(const QString& path,
                                         const std::function<bool(QIODevice&)>& writeContent,
                                         FileSystemCalls& calls = FileSystemCalls::real(),
                                         const std::function<bool()>& mayRename = {});
