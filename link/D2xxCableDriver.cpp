#include "link/D2xxCableDriver.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

// The library's own layout of a list entry.
static_assert(offsetof(D2xxLibrary::Node, serialNumber) == 16);
static_assert(offsetof(D2xxLibrary::Node, description) == 32);
static_assert(offsetof(D2xxLibrary::Node, handle) == 96);

constexpr std::uint32_t OpenBySerial = 1;
constexpr std::uint32_t PurgeRx = 1, PurgeTx = 2;

QByteArray serialOfNode(const D2xxLibrary::Node& node) {
    return QByteArray(node.serialNumber,
                      static_cast<qsizetype>(strnlen(node.serialNumber, sizeof node.serialNumber)));
}

bool isPortLetter(char c) {
    return c >= 'A' && c <= 'D';
}

// Two entries are ports of one chip.
bool sameChip(const D2xxLibrary::Node& a, const D2xxLibrary::Node& b) {
    const QByteArray sa = serialOfNode(a), sb = serialOfNode(b);
    if (sa.size() < 2 || sa.size() != sb.size() || sa == sb)
        return false;
    if (!isPortLetter(sa.back()) || !isPortLetter(sb.back()) || sa.chopped(1) != sb.chopped(1))
        return false;
    return a.id == b.id && (a.locId >> 4) == (b.locId >> 4);
}

} // namespace

QByteArray D2xxLibrary::statusName(Status status) {
    static const char* const names[] = {
        "FT_OK",
        "FT_INVALID_HANDLE",
        "FT_DEVICE_NOT_FOUND",
        "FT_DEVICE_NOT_OPENED",
        "FT_IO_ERROR",
        "FT_INSUFFICIENT_RESOURCES",
        "FT_INVALID_PARAMETER",
        "FT_INVALID_BAUD_RATE",
        "FT_DEVICE_NOT_OPENED_FOR_ERASE",
        "FT_DEVICE_NOT_OPENED_FOR_WRITE",
        "FT_FAILED_TO_WRITE_DEVICE",
        "FT_EEPROM_READ_FAILED",
        "FT_EEPROM_WRITE_FAILED",
        "FT_EEPROM_ERASE_FAILED",
        "FT_EEPROM_NOT_PRESENT",
        "FT_EEPROM_NOT_PROGRAMMED",
        "FT_INVALID_ARGS",
        "FT_NOT_SUPPORTED",
        "FT_OTHER_ERROR",
        "FT_DEVICE_LIST_NOT_READY",
    };
    if (status < std::size(names))
        return names[status];
    return "status " + QByteArray::number(status);
}

D2xxCableDriver::D2xxCableDriver(std::shared_ptr<const D2xxLibrary> library)
    : lib_(std::move(library)) {}

D2xxCableDriver::~D2xxCableDriver() {
    if (open_)
        lib_->Close(open_);
}

std::vector<D2xxCableDriver::Cable>
D2xxCableDriver::cablesOf(const std::vector<D2xxLibrary::Node>& nodes) {
    std::vector<Cable> cables;
    std::vector<bool> taken(nodes.size(), false);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (taken[i])
            continue;
        // The port with the first letter among those of its chip.
        std::size_t first = i;
        for (std::size_t j = i + 1; j < nodes.size(); ++j) {
            if (taken[j] || !sameChip(nodes[i], nodes[j]))
                continue;
            taken[j] = true;
            if (serialOfNode(nodes[j]).back() < serialOfNode(nodes[first]).back())
                first = j;
        }
        // An entry another program holds shows no serial number: it is a
        // cable of its own, and opening it says who holds it.
        cables.push_back({serialOfNode(nodes[first]), static_cast<int>(first)});
    }
    // A chip lists all its ports, so one whose first port is missing has it
    // among those held, whose serial numbers do not show: it is that cable.
    const bool held = std::any_of(cables.begin(), cables.end(),
                                  [](const Cable& c) { return c.serial.isEmpty(); });
    if (held)
        cables.erase(std::remove_if(cables.begin(), cables.end(),
                                    [](const Cable& c) {
                                        return c.serial.size() > 1 && c.serial.back() > 'A' &&
                                               isPortLetter(c.serial.back());
                                    }),
                     cables.end());
    return cables;
}

int D2xxCableDriver::CreateDeviceInfoList(std::uint32_t* count) {
    *count = 0;
    cables_.clear();
    openProblem_ = {};
    std::uint32_t entries = 0;
    if (const auto status = lib_->CreateDeviceInfoList(&entries))
        return static_cast<int>(status);
    std::vector<D2xxLibrary::Node> nodes(entries);
    std::uint32_t listed = entries;
    listStatus_ =
        entries == 0 ? 0 : static_cast<int>(lib_->GetDeviceInfoList(nodes.data(), &listed));
    if (listStatus_ != 0) {
        // Without the list the entries cannot be told apart: counted as
        // they are, and the fetch's failure is the driver error.
        *count = entries;
        return 0;
    }
    nodes.resize(std::min(listed, entries));
    cables_ = cablesOf(nodes);
    *count = static_cast<std::uint32_t>(cables_.size());
    return 0;
}

int D2xxCableDriver::GetDeviceInfoList(std::uint8_t* list, std::size_t capacity,
                                       std::uint32_t* count) {
    *count = static_cast<std::uint32_t>(cables_.size());
    if (listStatus_ != 0)
        return listStatus_;
    for (std::size_t i = 0; i < cables_.size(); ++i)
        writeEntry(list, capacity, i, cables_[i].serial);
    return 0;
}

int D2xxCableDriver::OpenEx(const std::uint8_t* serial, int openBy, Handle* handle) {
    if (openBy != OpenBySerialNumber || open_)
        return StatusError;
    const QByteArray wanted = serialOf(serial);
    const auto cable = std::find_if(cables_.begin(), cables_.end(),
                                    [&](const Cable& c) { return c.serial == wanted; });
    if (cable == cables_.end())
        return StatusError;
    if (cable->serial.isEmpty()) {
        // Opening by an empty serial number would take whichever device the
        // library picks: the entry is named instead.
        openProblem_ = {QStringLiteral("D2XX, устройство %1").arg(cable->entry),
                        QStringLiteral("открыто другой программой (FT_DEVICE_NOT_OPENED)"),
                        OpenProblem::Advice::CloseOtherProgram};
        return static_cast<int>(D2xxLibrary::DeviceNotOpened);
    }
    QByteArray arg = cable->serial;
    D2xxLibrary::Handle opened = nullptr;
    if (const auto status = lib_->OpenEx(arg.data(), OpenBySerial, &opened)) {
        openProblem_ = {QStringLiteral("D2XX ") + QString::fromLatin1(cable->serial),
                        QString::fromLatin1(D2xxLibrary::statusName(status)),
                        status == D2xxLibrary::DeviceNotOpened
                            ? OpenProblem::Advice::CloseOtherProgram
                            : OpenProblem::Advice::None};
        return static_cast<int>(status);
    }
    open_ = opened;
    *handle = 1;
    return 0;
}

int D2xxCableDriver::SetBaudRate(Handle handle, std::uint32_t baud) {
    const auto h = open(handle);
    return h ? static_cast<int>(lib_->SetBaudRate(h, baud)) : StatusError;
}

int D2xxCableDriver::SetDataCharacteristics(Handle handle, std::uint8_t wordLength,
                                            std::uint8_t stopBits, std::uint8_t parity) {
    const auto h = open(handle);
    return h ? static_cast<int>(lib_->SetDataCharacteristics(h, wordLength, stopBits, parity))
             : StatusError;
}

int D2xxCableDriver::SetFlowControl(Handle handle, std::uint16_t flow, std::uint8_t xon,
                                    std::uint8_t xoff) {
    const auto h = open(handle);
    return h ? static_cast<int>(lib_->SetFlowControl(h, flow, xon, xoff)) : StatusError;
}

int D2xxCableDriver::SetLatencyTimer(Handle handle, std::uint8_t milliseconds) {
    const auto h = open(handle);
    if (!h)
        return StatusError;
    // The library sets the timer without an administrator's rights. A
    // refusal leaves the cable working at the value it has, and the log
    // says so, as on a system where the setting is the kernel's.
    latencyProblem_ = {};
    const auto set = lib_->SetLatencyTimer(h, milliseconds);
    if (!lib_->GetLatencyTimer) {
        latencyProblem_.reason = QStringLiteral("FT_GetLatencyTimer not in ftd2xx.dll");
        return 0;
    }
    std::uint8_t value = 0;
    if (const auto status = lib_->GetLatencyTimer(h, &value)) {
        latencyProblem_.reason = QStringLiteral("FT_GetLatencyTimer: ") +
                                 QString::fromLatin1(D2xxLibrary::statusName(status));
        return 0;
    }
    if (value != milliseconds)
        latencyProblem_ = {value, set != 0 ? QString::fromLatin1(D2xxLibrary::statusName(set))
                                           : QStringLiteral("the driver keeps its own value")};
    return 0;
}

int D2xxCableDriver::SetTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t writeMs) {
    const auto h = open(handle);
    if (!h)
        return StatusError;
    const auto status = lib_->SetTimeouts(h, readMs, writeMs);
    // The last of the settings: what came before the port was set up as the
    // device's is thrown away.
    if (lib_->Purge)
        lib_->Purge(h, PurgeRx | PurgeTx);
    return static_cast<int>(status);
}

int D2xxCableDriver::GetStatus(Handle handle, std::uint32_t* rxQueue, std::uint32_t* txQueue,
                               std::uint32_t* events) {
    *rxQueue = *txQueue = *events = 0;
    const auto h = open(handle);
    return h ? static_cast<int>(lib_->GetStatus(h, rxQueue, txQueue, events)) : StatusError;
}

int D2xxCableDriver::Read(Handle handle, std::uint8_t* buffer, std::uint32_t toRead,
                          std::uint32_t* read) {
    *read = 0;
    const auto h = open(handle);
    return h ? static_cast<int>(lib_->Read(h, buffer, toRead, read)) : StatusError;
}

int D2xxCableDriver::Write(Handle handle, const std::uint8_t* data, std::uint32_t toWrite,
                           std::uint32_t* written) {
    *written = 0;
    const auto h = open(handle);
    // The library's write takes a pointer it does not write through.
    return h ? static_cast<int>(lib_->Write(h, const_cast<std::uint8_t*>(data), toWrite, written))
             : StatusError;
}

int D2xxCableDriver::Close(Handle handle) {
    const auto h = open(handle);
    if (!h)
        return StatusError;
    open_ = nullptr;
    return static_cast<int>(lib_->Close(h));
}
