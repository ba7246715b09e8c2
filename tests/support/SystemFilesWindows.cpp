#include "tests/support/SystemFiles.h"

#include <QDir>
#include <QTemporaryDir>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

namespace {

std::wstring native(const QString& path) {
    return QDir::toNativeSeparators(path).toStdWString();
}

} // namespace

bool MakeFifo(const QString& path) {
    return QDir().mkdir(path);
}

bool MakeSymbolicLink(const QString& from, const QString& to) {
    constexpr DWORD Unprivileged = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    return CreateSymbolicLinkW(native(to).c_str(), native(from).c_str(), Unprivileged);
}

bool SymbolicLinksCanBeMade() {
    static const bool can = [] {
        // Made, and seen as a link rather than followed by whoever opens it.
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("link"));
        if (!MakeSymbolicLink(dir.filePath(QStringLiteral("target")), link))
            return false;
        const DWORD attributes = GetFileAttributesW(native(link).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }();
    return can;
}

bool MakeHardLink(const QString& from, const QString& to) {
    return CreateHardLinkW(native(to).c_str(), native(from).c_str(), nullptr);
}

bool LetEveryoneIn(const QString& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)", SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    std::wstring name = native(path);
    const bool ok =
        SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return ok;
}

bool OnlyTheOwnerMayOpen(const QString& path) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string user(size, '\0');
    const bool haveUser = GetTokenInformation(token, TokenUser, user.data(), size, &size);
    CloseHandle(token);
    if (!haveUser)
        return false;
    PSID me = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring name = native(path);
    if (GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool only = dacl != nullptr; // no list at all lets everyone in
    for (DWORD i = 0; only && i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)))
            only = false;
        else if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
            only = EqualSid(sid, me) || IsWellKnownSid(sid, WinLocalSystemSid);
        }
    }
    LocalFree(descriptor);
    return only;
}
