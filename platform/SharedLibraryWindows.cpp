#include "platform/SharedLibrary.h"

#include <QCoreApplication>
#include <QDir>

#include <windows.h>

namespace platform {

namespace {

std::shared_ptr<SharedLibrary> failed(const QString& name, QString* whyNot) {
    const DWORD error = GetLastError();
    *whyNot = error == ERROR_MOD_NOT_FOUND
                  ? QStringLiteral("%1 not found").arg(name)
                  : QStringLiteral("%1 not loaded, error %2").arg(name).arg(error);
    return nullptr;
}

} // namespace

std::shared_ptr<SharedLibrary> SharedLibrary::open(const QString& name, bool besideProgram,
                                                   QString* whyNot) {
    HMODULE module = nullptr;
    if (besideProgram) {
        // The program's folder and the system's, and for the library's own
        // dependencies the same: never the working directory or PATH.
        const QString path =
            QDir::toNativeSeparators(QDir(QCoreApplication::applicationDirPath()).filePath(name));
        module = LoadLibraryExW(reinterpret_cast<const wchar_t*>(path.utf16()), nullptr,
                                LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else {
        module = LoadLibraryExW(reinterpret_cast<const wchar_t*>(name.utf16()), nullptr,
                                LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    }
    if (!module)
        return failed(name, whyNot);
    return std::shared_ptr<SharedLibrary>(new SharedLibrary(module));
}

std::shared_ptr<SharedLibrary> SharedLibrary::openFromSystemFolder(const QString& name,
                                                                   QString* whyNot) {
    const HMODULE module = LoadLibraryExW(reinterpret_cast<const wchar_t*>(name.utf16()), nullptr,
                                          LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module)
        return failed(name, whyNot);
    return std::shared_ptr<SharedLibrary>(new SharedLibrary(module));
}

SharedLibrary::~SharedLibrary() {
    FreeLibrary(static_cast<HMODULE>(handle_));
}

void* SharedLibrary::symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

} // namespace platform
