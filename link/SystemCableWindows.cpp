#include "link/SystemCable.h"

#include "link/ComPortCableDriver.h"
#include "link/D2xxCableDriver.h"
#include "link/Win32Cable.h"
#include "link/WindowsCableDriver.h"
#include "platform/SharedLibrary.h"

#include <windows.h>
// clang-format off
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <vector>

namespace {

static_assert(ComPortApi::AccessDenied == ERROR_ACCESS_DENIED);
static_assert(ComPortApi::SharingViolation == ERROR_SHARING_VIOLATION);
static_assert(ComPortApi::NotFound == ERROR_FILE_NOT_FOUND);
static_assert(ComPortApi::BreakSeen == CE_BREAK && ComPortApi::FramingError == CE_FRAME);
static_assert(ComPortApi::PurgeRx == PURGE_RXCLEAR && ComPortApi::PurgeTx == PURGE_TXCLEAR);

ComPortApi::Error lastError(BOOL ok) {
    return ok ? 0 : GetLastError();
}

HANDLE handleOf(ComPortApi::Port port) {
    return static_cast<HANDLE>(port);
}

QString registryText(HKEY key, const wchar_t* name) {
    wchar_t value[256] = {};
    DWORD type = 0, size = sizeof value - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return QString::fromWCharArray(value);
}

int registryNumber(HKEY key, const wchar_t* name) {
    DWORD value = 0, type = 0, size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return -1;
    return static_cast<int>(value);
}

class Win32ComPorts final : public ComPortApi {
public:
    std::vector<Entry> ports() override {
        std::vector<Entry> entries;
        HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE)
            return entries;
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
            Entry e;
            wchar_t ids[2048] = {};
            if (SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<BYTE*>(ids),
                                                  sizeof ids - 2 * sizeof(wchar_t), nullptr)) {
                for (const wchar_t* id = ids; *id; id += wcslen(id) + 1)
                    e.ftdi = e.ftdi || QString::fromWCharArray(id).contains(
                                           QLatin1String("VID_0403"), Qt::CaseInsensitive);
            }
            wchar_t instance[512] = {};
            if (SetupDiGetDeviceInstanceIdW(set, &info, instance, 511, nullptr))
                e.instanceId = QString::fromWCharArray(instance);
            // The port's name and FTDI's timer live in its "Device Parameters".
            HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            if (key != INVALID_HANDLE_VALUE) {
                e.name = registryText(key, L"PortName");
                e.latencyMs = registryNumber(key, L"LatencyTimer");
                RegCloseKey(key);
            }
            if (!e.name.isEmpty())
                entries.push_back(e);
        }
        SetupDiDestroyDeviceInfoList(set);
        return entries;
    }

    Error exists(const QString& name) override {
        wchar_t target[1024];
        return QueryDosDeviceW(reinterpret_cast<const wchar_t*>(name.utf16()), target, 1024)
                   ? 0
                   : GetLastError();
    }

    Error open(const QString& path, Port* port) override {
        const HANDLE h =
            CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()),
                        GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        *port = h;
        return 0;
    }

    Error configure(Port port, const Settings& s) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handleOf(port), &dcb))
            return GetLastError();
        dcb.BaudRate = s.baudRate;
        dcb.ByteSize = s.byteSize;
        dcb.Parity = s.parity;
        dcb.StopBits = s.stopBits;
        dcb.fBinary = s.binary;
        dcb.fParity = s.parityCheck;
        dcb.fOutxCtsFlow = s.outxCtsFlow;
        dcb.fOutxDsrFlow = s.outxDsrFlow;
        dcb.fDtrControl = s.dtrControl;
        dcb.fDsrSensitivity = s.dsrSensitivity;
        dcb.fOutX = s.outX;
        dcb.fInX = s.inX;
        dcb.fErrorChar = s.errorChar;
        dcb.fNull = s.discardNull;
        dcb.fRtsControl = s.rtsControl;
        dcb.fAbortOnError = s.abortOnError;
        dcb.XonChar = s.xonChar;
        dcb.XoffChar = s.xoffChar;
        return lastError(SetCommState(handleOf(port), &dcb));
    }

    Error setTimeouts(Port port, const Timeouts& t) override {
        COMMTIMEOUTS c{t.readInterval, t.readMultiplier, t.readConstant, t.writeMultiplier,
                       t.writeConstant};
        return lastError(SetCommTimeouts(handleOf(port), &c));
    }

    Error clearErrors(Port port, std::uint32_t* errors, std::uint32_t* inQueue,
                      std::uint32_t* outQueue) override {
        DWORD flags = 0;
        COMSTAT stat{};
        if (!ClearCommError(handleOf(port), &flags, &stat))
            return GetLastError();
        *errors = flags;
        *inQueue = stat.cbInQue;
        *outQueue = stat.cbOutQue;
        return 0;
    }

    Error purge(Port port, std::uint32_t flags) override {
        return lastError(PurgeComm(handleOf(port), flags));
    }

    Error read(Port port, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* got) override {
        DWORD n = 0;
        const BOOL ok = ReadFile(handleOf(port), buffer, size, &n, nullptr);
        *got = n;
        return lastError(ok);
    }

    Error write(Port port, const std::uint8_t* data, std::uint32_t size,
                std::uint32_t* put) override {
        DWORD n = 0;
        const BOOL ok = WriteFile(handleOf(port), data, size, &n, nullptr);
        *put = n;
        return lastError(ok);
    }

    void close(Port port) override { CloseHandle(handleOf(port)); }

    QString errorText(Error error) override {
        wchar_t* text = nullptr;
        const DWORD n =
            FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
        QString said = n ? QString::fromWCharArray(text, static_cast<int>(n)).trimmed() : QString();
        LocalFree(text);
        return said.isEmpty() ? QStringLiteral("ошибка %1").arg(error) : said;
    }
};

} // namespace

std::shared_ptr<ComPortApi> newWin32ComPortApi() {
    return std::make_shared<Win32ComPorts>();
}

std::shared_ptr<const D2xxLibrary> loadD2xxLibrary(QString* whyNot) {
    const auto module =
        platform::SharedLibrary::openFromSystemFolder(QStringLiteral("ftd2xx.dll"), whyNot);
    if (!module)
        return nullptr;
    auto lib = std::make_shared<D2xxLibrary>();
    lib->module = module;
    const char* missing = nullptr;
    auto need = [&](const char* name, auto* to) {
        if (!module->resolve(name, to) && !missing)
            missing = name;
    };
    need("FT_CreateDeviceInfoList", &lib->CreateDeviceInfoList);
    need("FT_GetDeviceInfoList", &lib->GetDeviceInfoList);
    need("FT_OpenEx", &lib->OpenEx);
    need("FT_SetBaudRate", &lib->SetBaudRate);
    need("FT_SetDataCharacteristics", &lib->SetDataCharacteristics);
    need("FT_SetFlowControl", &lib->SetFlowControl);
    need("FT_SetLatencyTimer", &lib->SetLatencyTimer);
    need("FT_SetTimeouts", &lib->SetTimeouts);
    need("FT_GetStatus", &lib->GetStatus);
    need("FT_Read", &lib->Read);
    need("FT_Write", &lib->Write);
    need("FT_Close", &lib->Close);
    if (missing) {
        *whyNot = QStringLiteral("%1 not in ftd2xx.dll").arg(QLatin1String(missing));
        return nullptr;
    }
    module->resolve("FT_GetLatencyTimer", &lib->GetLatencyTimer);
    module->resolve("FT_Purge", &lib->Purge);
    return lib;
}

std::shared_ptr<CableDriver> newSystemCable() {
    return std::make_shared<WindowsCableDriver>(loadD2xxLibrary, newWin32ComPortApi(),
                                                qEnvironmentVariable("UOO_CABLE"));
}
