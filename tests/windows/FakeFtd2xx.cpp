// A stand-in for FTDI's driver library, for the tests: the calls the program
// takes from it, by the same names, each over a COM port. The environment
// says what it lists:
//   UOO_FAKE_D2XX          entries "SERIAL,ID,LOCID,FLAGS,PORT" separated by ';'
//   UOO_FAKE_D2XX_LATENCY  a value the latency timer keeps whatever is set
// Built once whole and once without FT_SetLatencyTimer (LACKS_LATENCY_TIMER).
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Node {
    ULONG flags, type, id, locId;
    char serialNumber[16];
    char description[64];
    void* handle;
};

struct Entry {
    std::string serial, port;
    ULONG id = 0, locId = 0, flags = 0;
};

struct Port {
    HANDLE h = INVALID_HANDLE_VALUE;
    UCHAR latency = 16;
};

std::vector<Entry> listed() {
    std::vector<Entry> entries;
    const char* listing = std::getenv("UOO_FAKE_D2XX");
    std::string s = listing ? listing : "";
    std::size_t at = 0;
    while (at < s.size()) {
        const std::size_t end = std::min(s.find(';', at), s.size());
        const std::string item = s.substr(at, end - at);
        at = end + 1;
        std::vector<std::string> parts;
        std::size_t p = 0;
        while (true) {
            const std::size_t comma = item.find(',', p);
            parts.push_back(
                item.substr(p, comma == std::string::npos ? std::string::npos : comma - p));
            if (comma == std::string::npos)
                break;
            p = comma + 1;
        }
        if (parts.size() != 5)
            continue;
        Entry e;
        e.serial = parts[0];
        e.id = std::strtoul(parts[1].c_str(), nullptr, 0);
        e.locId = std::strtoul(parts[2].c_str(), nullptr, 0);
        e.flags = std::strtoul(parts[3].c_str(), nullptr, 0);
        e.port = parts[4];
        entries.push_back(e);
    }
    return entries;
}

std::vector<Entry> g_entries;

Port* portOf(void* handle) {
    return static_cast<Port*>(handle);
}

ULONG setState(Port* p, void (*change)(DCB&, ULONG, ULONG, ULONG), ULONG a, ULONG b, ULONG c) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(p->h, &dcb))
        return 4;
    change(dcb, a, b, c);
    return SetCommState(p->h, &dcb) ? 0 : 4;
}

} // namespace

#define EXPORT extern "C" __declspec(dllexport)

EXPORT ULONG WINAPI FT_CreateDeviceInfoList(DWORD* count) {
    g_entries = listed();
    *count = static_cast<DWORD>(g_entries.size());
    return 0;
}

EXPORT ULONG WINAPI FT_GetDeviceInfoList(Node* list, DWORD* count) {
    for (std::size_t i = 0; i < g_entries.size() && i < *count; ++i) {
        Node& n = list[i];
        std::memset(&n, 0, sizeof n);
        n.flags = g_entries[i].flags;
        n.id = g_entries[i].id;
        n.locId = g_entries[i].locId;
        std::strncpy(n.serialNumber, g_entries[i].serial.c_str(), sizeof n.serialNumber - 1);
        std::strncpy(n.description, "Fake FTDI cable", sizeof n.description - 1);
    }
    *count = static_cast<DWORD>(g_entries.size());
    return 0;
}

EXPORT ULONG WINAPI FT_OpenEx(void* arg, DWORD flags, void** handle) {
    if (flags != 1 || !arg)
        return 6; // FT_INVALID_PARAMETER
    for (const Entry& e : listed()) {
        if (e.serial.empty() || e.serial != static_cast<const char*>(arg))
            continue;
        if (e.flags & 1)
            return 3; // FT_DEVICE_NOT_OPENED
        const std::string path = "\\\\.\\" + e.port;
        const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return 3;
        *handle = new Port{h};
        return 0;
    }
    return 2; // FT_DEVICE_NOT_FOUND
}

EXPORT ULONG WINAPI FT_SetBaudRate(void* handle, ULONG baud) {
    return setState(
        portOf(handle), [](DCB& d, ULONG b, ULONG, ULONG) { d.BaudRate = b; }, baud, 0, 0);
}

EXPORT ULONG WINAPI FT_SetDataCharacteristics(void* handle, UCHAR bits, UCHAR stop, UCHAR parity) {
    return setState(
        portOf(handle),
        [](DCB& d, ULONG b, ULONG s, ULONG p) {
            d.fBinary = TRUE;
            d.fNull = FALSE;
            d.fAbortOnError = FALSE;
            d.ByteSize = static_cast<BYTE>(b);
            d.StopBits = static_cast<BYTE>(s);
            d.Parity = static_cast<BYTE>(p);
        },
        bits, stop, parity);
}

EXPORT ULONG WINAPI FT_SetFlowControl(void* handle, USHORT, UCHAR, UCHAR) {
    return setState(
        portOf(handle),
        [](DCB& d, ULONG, ULONG, ULONG) {
            d.fOutxCtsFlow = d.fOutxDsrFlow = d.fOutX = d.fInX = FALSE;
            d.fDtrControl = DTR_CONTROL_ENABLE;
            d.fRtsControl = RTS_CONTROL_ENABLE;
        },
        0, 0, 0);
}

#ifndef LACKS_LATENCY_TIMER
EXPORT ULONG WINAPI FT_SetLatencyTimer(void* handle, UCHAR ms) {
    const char* kept = std::getenv("UOO_FAKE_D2XX_LATENCY");
    portOf(handle)->latency = kept ? static_cast<UCHAR>(std::atoi(kept)) : ms;
    return 0;
}
#endif

EXPORT ULONG WINAPI FT_GetLatencyTimer(void* handle, UCHAR* ms) {
    *ms = portOf(handle)->latency;
    return 0;
}

EXPORT ULONG WINAPI FT_SetTimeouts(void* handle, ULONG readMs, ULONG writeMs) {
    COMMTIMEOUTS t{0, 0, readMs, 0, writeMs};
    return SetCommTimeouts(portOf(handle)->h, &t) ? 0 : 4;
}

EXPORT ULONG WINAPI FT_Purge(void* handle, ULONG mask) {
    const DWORD flags = ((mask & 1) ? PURGE_RXCLEAR : 0) | ((mask & 2) ? PURGE_TXCLEAR : 0);
    return PurgeComm(portOf(handle)->h, flags) ? 0 : 4;
}

EXPORT ULONG WINAPI FT_GetStatus(void* handle, DWORD* rx, DWORD* tx, DWORD* events) {
    DWORD errors = 0;
    COMSTAT st{};
    if (!ClearCommError(portOf(handle)->h, &errors, &st))
        return 4; // FT_IO_ERROR
    *rx = st.cbInQue;
    *tx = st.cbOutQue;
    *events = 0;
    return 0;
}

EXPORT ULONG WINAPI FT_Read(void* handle, void* buffer, DWORD size, DWORD* got) {
    return ReadFile(portOf(handle)->h, buffer, size, got, nullptr) ? 0 : 4;
}

EXPORT ULONG WINAPI FT_Write(void* handle, void* data, DWORD size, DWORD* put) {
    return WriteFile(portOf(handle)->h, data, size, put, nullptr) ? 0 : 4;
}

EXPORT ULONG WINAPI FT_Close(void* handle) {
    Port* p = portOf(handle);
    CloseHandle(p->h);
    delete p;
    return 0;
}
