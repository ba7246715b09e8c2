// Waits for a shown top-level window whose title starts with the given text
// and closes it as its title bar's close button does (the system menu's
// "Close", which becomes WM_CLOSE); with --only-wait it leaves it open.
// Exits 0 once found, 1 when no such window appeared within the seconds.
//   close_window TITLE_START SECONDS [--only-wait]
#include <windows.h>

#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

struct Search {
    std::wstring start;
    HWND found = nullptr;
};

BOOL CALLBACK look(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) != nullptr)
        return TRUE;
    wchar_t title[512] = {};
    GetWindowTextW(window, title, 512);
    if (std::wcsncmp(title, search->start.c_str(), search->start.size()) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

} // namespace

int main() {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args || count < 3 || count > 4)
        return 2;
    const bool onlyWait = count == 4 && std::wcscmp(args[3], L"--only-wait") == 0;
    Search search{args[1]};
    const DWORD deadline = GetTickCount() + DWORD(_wtoi(args[2])) * 1000;
    while (!search.found && GetTickCount() < deadline) {
        EnumWindows(look, reinterpret_cast<LPARAM>(&search));
        if (!search.found)
            Sleep(100);
    }
    if (!search.found)
        return 1;
    if (!onlyWait)
        PostMessageW(search.found, WM_SYSCOMMAND, SC_CLOSE, 0);
    return 0;
}
