#include "platform/Process.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdlib>

namespace platform {

// The process's own arguments come from its wide command line: the narrow
// ones are in the ANSI code page, which cannot hold every name. Arguments
// made by the program itself (a test's) are UTF-8.
QStringList commandLineArguments(int argc, char** argv) {
    QStringList arguments;
    if (argv != __argv) {
        for (int i = 0; i < argc; ++i)
            arguments << QString::fromUtf8(argv[i]);
        return arguments;
    }
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; words && i < count; ++i)
        arguments << QString::fromWCharArray(words[i]);
    LocalFree(words);
    return arguments;
}

namespace {

bool writeAll(HANDLE h, const QByteArray& bytes) {
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        DWORD done = 0;
        if (!WriteFile(h, p, DWORD(left), &done, nullptr) || done == 0)
            return false;
        p += done;
        left -= done;
    }
    // A file is flushed, so that a full disk is told; a pipe has nothing to flush.
    return GetFileType(h) != FILE_TYPE_DISK || FlushFileBuffers(h);
}

// A console shows UTF-16 as it is; its code page (866 for Russian) would
// garble UTF-8 or ANSI bytes.
bool writeConsole(HANDLE h, const QString& text) {
    const std::wstring wide = text.toStdWString();
    std::size_t done = 0;
    while (done < wide.size()) {
        DWORD n = 0;
        if (!WriteConsoleW(h, wide.data() + done, DWORD(wide.size() - done), &n, nullptr) || n == 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

bool say(Stream stream, const QString& text) {
    const DWORD which = stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
    HANDLE h = GetStdHandle(which);
    DWORD mode = 0;
    if (h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN) {
        if (GetConsoleMode(h, &mode))
            return writeConsole(h, text);
        return writeAll(h, text.toUtf8()); // a pipe or a file
    }
    // Nothing inherited: the console of the command line that started it.
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        HANDLE console =
            CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        const bool ok = console != INVALID_HANDLE_VALUE && writeConsole(console, text);
        if (console != INVALID_HANDLE_VALUE)
            CloseHandle(console);
        FreeConsole();
        return ok;
    }
    // Started from the Start menu or Explorer: a box.
    const std::wstring wide = text.trimmed().toStdWString();
    MessageBoxW(nullptr, wide.c_str(), L"uoo-programmer",
                MB_OK | (stream == Stream::Out ? MB_ICONINFORMATION : MB_ICONWARNING));
    return true;
}

bool askHidden(const QString& prompt, QString* answer) {
    const bool attached = AttachConsole(ATTACH_PARENT_PROCESS) != 0;
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    bool read = false;
    if (in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE) {
        DWORD mode = 0;
        GetConsoleMode(in, &mode);
        SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
        writeConsole(out, prompt);
        wchar_t buffer[512];
        DWORD n = 0;
        read = ReadConsoleW(in, buffer, 511, &n, nullptr) != 0;
        SetConsoleMode(in, mode);
        writeConsole(out, QStringLiteral("\n"));
        *answer = QString::fromWCharArray(buffer, static_cast<int>(n))
                      .remove(QLatin1Char('\r'))
                      .remove(QLatin1Char('\n'));
    }
    if (in != INVALID_HANDLE_VALUE)
        CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    if (attached)
        FreeConsole();
    return read;
}

QString userDataFolderShown() {
    return QStringLiteral("%LOCALAPPDATA%\\uoo-programmer");
}

// Windows' heap hands large blocks to and from the system itself; there is
// nothing to ask of it.
void keepFreedMemoryForReuse() {}

} // namespace platform
