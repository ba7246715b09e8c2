#include "platform/FileSystem.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

namespace platform {

// Names travel as UTF-8 whatever the code page of the system: a user folder
// in Cyrillic must survive on an English Windows too.
QByteArray encodeName(const QString& path) {
    return path.toUtf8();
}

QString decodeName(const QByteArray& name) {
    return QString::fromUtf8(name);
}

namespace {

// The last error of the system behind the errno given for it, so that the
// operator reads the system's own words.
thread_local DWORD lastSystemError = 0;

int fail(DWORD error) {
    lastSystemError = error;
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        errno = ENOENT;
        break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        errno = EACCES;
        break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errno = EBUSY;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_WRITE_PROTECT:
        errno = EROFS;
        break;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        errno = ENOTSUP;
        break;
    case ERROR_CANT_RESOLVE_FILENAME:
        errno = ELOOP;
        break;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
        errno = EINVAL;
        break;
    default:
        errno = EIO;
        break;
    }
    return -1;
}

int failNow() {
    return fail(GetLastError());
}

std::wstring wide(const char* name) {
    QString path = QString::fromUtf8(name);
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return path.toStdWString();
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, with or without an extension, name
// a device in any folder.
bool namesDevice(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\:");
    std::wstring base = path.substr(slash == std::wstring::npos ? 0 : slash + 1);
    base = base.substr(0, base.find(L'.'));
    while (!base.empty() && (base.back() == L' '))
        base.pop_back();
    for (wchar_t& c : base)
        c = wchar_t(towupper(c));
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" ||
        base == L"CONOUT$")
        return true;
    return base.size() == 4 &&
           (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
           base[3] >= L'1' && base[3] <= L'9';
}

// An access list that lets in the user the program runs as and the system
// only, and inherits nothing: what 0600 is on Linux.
SECURITY_ATTRIBUTES* privateAttributes() {
    struct Private {
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
        Private() {
            HANDLE token = nullptr;
            if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
                return;
            DWORD size = 0;
            GetTokenInformation(token, TokenUser, nullptr, 0, &size);
            std::string buffer(size, '\0');
            LPWSTR sid = nullptr;
            if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
                ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid,
                                       &sid)) {
                const std::wstring text = L"D:P(A;;FA;;;" + std::wstring(sid) + L")(A;;FA;;;SY)";
                LocalFree(sid);
                PSECURITY_DESCRIPTOR descriptor = nullptr;
                if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
                        text.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
                    attributes.lpSecurityDescriptor = descriptor; // kept for the process's life
            }
            CloseHandle(token);
        }
    };
    static Private made;
    return made.attributes.lpSecurityDescriptor ? &made.attributes : nullptr;
}

// Private unless the bits let others in.
SECURITY_ATTRIBUTES* attributesFor(unsigned mode) {
    return (mode & 0077) == 0 ? privateAttributes() : nullptr;
}

int descriptorOf(HANDLE h) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

int fill(HANDLE h, FileStatus* status, bool asLink) {
    status->kind = FileStatus::Other;
    if (GetFileType(h) != FILE_TYPE_DISK)
        return 0; // a device, a pipe
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info))
        return failNow(), errno;
    status->volume = info.dwVolumeSerialNumber;
    status->index = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    status->size = std::int64_t((std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    // 100 ns steps since 1601.
    const std::int64_t ticks =
        std::int64_t((std::uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) |
                     info.ftLastWriteTime.dwLowDateTime) -
        116444736000000000LL;
    status->modifiedSeconds = ticks / 10000000;
    status->modifiedNanoseconds = (ticks % 10000000) * 100;
    status->links = info.nNumberOfLinks;
    status->mine = true;
    const bool directory = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    status->mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    if (directory)
        status->mode |= 0111;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (asLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
        tag.ReparseTag == IO_REPARSE_TAG_SYMLINK)
        status->kind = FileStatus::Link;
    else
        status->kind = directory ? FileStatus::Directory : FileStatus::Regular;
    return 0;
}

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

int statusOf(const char* path, FileStatus* status, bool followLinks) {
    *status = {};
    const std::wstring name = wide(path);
    if (namesDevice(name)) {
        status->kind = FileStatus::Other;
        return 0;
    }
    const HANDLE h = CreateFileW(
        name.c_str(), FILE_READ_ATTRIBUTES, ShareAll, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return failNow(), errno;
    const int rc = fill(h, status, !followLinks);
    CloseHandle(h);
    return rc;
}

int statusOf(int fd, FileStatus* status) {
    *status = {};
    const HANDLE h = handleOf(fd);
    if (h == INVALID_HANDLE_VALUE)
        return EBADF;
    return fill(h, status, false);
}

int openFile(const char* path, int flags, unsigned mode) {
    std::wstring name = wide(path);
    // A device's name opens the null device, which callers see for what it
    // is, not a regular file; the real device is never touched.
    if (namesDevice(name))
        name = L"\\\\.\\NUL";
    DWORD access = 0;
    if ((flags & ReadWrite) != WriteOnly)
        access |= GENERIC_READ;
    if (flags & WriteOnly)
        access |= GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    if ((flags & Create) && (flags & Exclusive))
        disposition = CREATE_NEW;
    else if (flags & Create)
        disposition = OPEN_ALWAYS;
    else if (flags & Truncate)
        disposition = TRUNCATE_EXISTING;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (flags & NoFollow)
        attributes |= FILE_FLAG_OPEN_REPARSE_POINT;
    if (!(flags & WriteOnly))
        attributes |= FILE_FLAG_BACKUP_SEMANTICS; // a folder opens, to be told apart
    const DWORD share = (flags & KeepName) ? FILE_SHARE_READ | FILE_SHARE_WRITE : ShareAll;
    const HANDLE h = CreateFileW(name.c_str(), access, share, attributesFor(mode), disposition,
                                 attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return failNow();
    if (flags & NoFollow) {
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
            (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            tag.ReparseTag == IO_REPARSE_TAG_SYMLINK) {
            CloseHandle(h);
            errno = ELOOP;
            return -1;
        }
    }
    if ((flags & Create) && (flags & Truncate) && disposition == OPEN_ALWAYS) {
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) {
            const DWORD error = GetLastError();
            CloseHandle(h);
            return fail(error);
        }
    }
    return descriptorOf(h);
}

int closeFile(int fd) {
    return _close(fd);
}

long long readSome(int fd, void* data, std::size_t size) {
    DWORD done = 0;
    const DWORD ask = size > 0x40000000 ? 0x40000000 : DWORD(size);
    if (!ReadFile(handleOf(fd), data, ask, &done, nullptr)) {
        const DWORD error = GetLastError();
        return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : fail(error);
    }
    return done;
}

long long writeSome(int fd, const void* data, std::size_t size) {
    DWORD done = 0;
    const DWORD ask = size > 0x40000000 ? 0x40000000 : DWORD(size);
    if (!WriteFile(handleOf(fd), data, ask, &done, nullptr))
        return failNow();
    return done;
}

long long readAt(int fd, void* data, std::size_t size, std::int64_t offset) {
    OVERLAPPED at{};
    at.Offset = DWORD(std::uint64_t(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = DWORD(std::uint64_t(offset) >> 32);
    DWORD done = 0;
    const DWORD ask = size > 0x40000000 ? 0x40000000 : DWORD(size);
    if (!ReadFile(handleOf(fd), data, ask, &done, &at)) {
        const DWORD error = GetLastError();
        return error == ERROR_HANDLE_EOF ? 0 : fail(error);
    }
    return done;
}

long long writeAt(int fd, const void* data, std::size_t size, std::int64_t offset) {
    OVERLAPPED at{};
    at.Offset = DWORD(std::uint64_t(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = DWORD(std::uint64_t(offset) >> 32);
    DWORD done = 0;
    const DWORD ask = size > 0x40000000 ? 0x40000000 : DWORD(size);
    if (!WriteFile(handleOf(fd), data, ask, &done, &at))
        return failNow();
    return done;
}

int syncFile(int fd) {
    return FlushFileBuffers(handleOf(fd)) ? 0 : failNow();
}

int truncateFile(int fd) {
    LARGE_INTEGER zero{};
    const HANDLE h = handleOf(fd);
    return SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) && SetEndOfFile(h) ? 0 : failNow();
}

// Windows has one permission bit of its own: the read-only attribute.
// Gives an existing file the access list a new private one gets. The
// handle the file was opened with may lack the right to change it; the
// owner always has that right through a handle of its own.
int makePrivate(HANDLE h) {
    SECURITY_ATTRIBUTES* attributes = privateAttributes();
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!attributes ||
        !GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted))
        return fail(ERROR_INVALID_SECURITY_DESCR);
    const HANDLE own = ReOpenFile(h, WRITE_DAC | READ_CONTROL, ShareAll, 0);
    if (own == INVALID_HANDLE_VALUE)
        return failNow();
    const DWORD set = SetSecurityInfo(
        own, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
        nullptr, nullptr, dacl, nullptr);
    CloseHandle(own);
    return set == ERROR_SUCCESS ? 0 : fail(set);
}

// Windows keeps of a mode what it can: the read-only attribute, and a
// private access list when no one but the owner is let in.
int setMode(int fd, unsigned mode) {
    FILE_BASIC_INFO basic{};
    const HANDLE h = handleOf(fd);
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        return failNow();
    if ((mode & 0077) == 0 && makePrivate(h) != 0)
        return -1;
    const DWORD before = basic.FileAttributes;
    if (mode & 0222)
        basic.FileAttributes &= ~DWORD(FILE_ATTRIBUTE_READONLY);
    else
        basic.FileAttributes |= FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == before)
        return 0;
    return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) ? 0 : failNow();
}

// The replaced file's access list goes onto the new one, protected or
// inheriting as it was; the owner stays the user who saves (only an
// administrator may give files away).
int takeAccessOf(int fd, const char* like, const FileStatus& likeStatus) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring name = wide(like);
    const DWORD got = GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                            nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (got != ERROR_SUCCESS)
        return fail(got);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION which =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                       : UNPROTECTED_DACL_SECURITY_INFORMATION);
    const DWORD set =
        SetSecurityInfo(handleOf(fd), SE_FILE_OBJECT, which, nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    if (set != ERROR_SUCCESS)
        return fail(set);
    return setMode(fd, likeStatus.mode);
}

int removeFile(const char* path) {
    return DeleteFileW(wide(path).c_str()) ? 0 : failNow();
}

// An antivirus, the search indexer or another copy reading may hold the
// file for a moment without sharing it: the replace is tried again for up
// to two seconds. MoveFileEx, not ReplaceFile, which can fail half-way.
int replaceFile(const char* from, const char* to) {
    const std::wstring source = wide(from), target = wide(to);
    for (int waited = 0;; waited += 50) {
        if (MoveFileExW(source.c_str(), target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 0;
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION &&
             error != ERROR_LOCK_VIOLATION) ||
            waited >= 2000)
            return fail(error);
        QThread::msleep(50);
    }
}

int hardLink(const char*, const char*) {
    errno = ENOTSUP;
    return -1;
}

int placeUnlessTaken(const char* from, const char* to) {
    return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_WRITE_THROUGH) ? 0
                                                                                     : failNow();
}

int makeFolder(const char* path, unsigned mode) {
    return CreateDirectoryW(wide(path).c_str(), attributesFor(mode)) ? 0 : failNow();
}

long long processId() {
    return GetCurrentProcessId();
}

bool processRunning(long long pid) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED; // there, but not ours to ask
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

// A replace written through is on the disk with its folder entry.
int syncDirectory(const char*) {
    return 0;
}

int createTemporary(std::string& pattern) {
    const std::size_t at = pattern.rfind("XXXXXX");
    if (at == std::string::npos || at + 6 != pattern.size()) {
        errno = EINVAL;
        return -1;
    }
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (std::size_t i = 0; i < 6; ++i)
            pattern[at + i] = letters[QRandomGenerator::system()->bounded(62)];
        const HANDLE h =
            CreateFileW(wide(pattern.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC,
                        ShareAll, privateAttributes(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            return descriptorOf(h);
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return failNow();
    }
    errno = EEXIST;
    return -1;
}

bool lockWhole(int fd, bool wait) {
    OVERLAPPED from{};
    return LockFileEx(handleOf(fd),
                      LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY), 0, MAXDWORD,
                      MAXDWORD, &from);
}

RecordLock lockRecord(int fd) {
    OVERLAPPED from{};
    if (LockFileEx(handleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &from))
        return RecordLock::Taken;
    const DWORD error = GetLastError();
    fail(error);
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
        return RecordLock::Busy;
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION)
        return RecordLock::Unsupported;
    return RecordLock::Failed;
}

bool mayWrite(const char* path) {
    const std::wstring name = wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    const HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, ShareAll, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return true;
    }
    // Held by another program for now: the replace waits for it.
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

int readLink(const char* path, QByteArray* target) {
    const QString to = QFileInfo(decodeName(path)).symLinkTarget();
    if (to.isEmpty())
        return ENOENT;
    *target = encodeName(to);
    return 0;
}

bool isAbsoluteName(const QByteArray& name) {
    return (name.size() > 2 && name[1] == ':' && (name[2] == '/' || name[2] == '\\')) ||
           name.startsWith("//") || name.startsWith("\\\\");
}

QByteArray folderOf(const QByteArray& name) {
    return name.left(std::max(name.lastIndexOf('/'), name.lastIndexOf('\\')) + 1);
}

// Only NTFS and ReFS keep times fine enough and sizes current; FAT and
// exFAT sticks and network drives do not.
Volume volumeOf(const char* path) {
    const std::wstring name = wide(path);
    if (name.rfind(L"\\\\", 0) == 0)
        return Volume::Untrusted; // a UNC path
    wchar_t root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(name.c_str(), root, MAX_PATH))
        return Volume::Untrusted;
    if (GetDriveTypeW(root) == DRIVE_REMOTE)
        return Volume::Untrusted;
    wchar_t system[MAX_PATH + 1] = {};
    if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH))
        return Volume::Untrusted;
    const std::wstring kind(system);
    return kind == L"NTFS" || kind == L"ReFS" ? Volume::Local : Volume::Untrusted;
}

// Windows creates a file exclusively in one step locally and on SMB shares.
bool exclusiveCreateHolds(const char*) {
    return true;
}

QString errorText(int error) {
    if (lastSystemError != 0) {
        const DWORD code = lastSystemError;
        fail(code); // sets errno to what this code is given as
        if (errno == error) {
            wchar_t* text = nullptr;
            const DWORD n =
                FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
            QString said = n ? QString::fromWCharArray(text, int(n)).trimmed() : QString();
            LocalFree(text);
            if (!said.isEmpty())
                return said;
        }
    }
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace platform
