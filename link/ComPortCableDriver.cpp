#include "link/ComPortCableDriver.h"

#include <QRegularExpression>

#include <algorithm>
#include <cstring>

namespace {

// FTDI's bus driver names a port FTDIBUS\VID_x+PID_y+<serial><port letter>\0000:
// the chip is the id without that letter.
QString chipOf(const QString& instanceId, QChar* port) {
    static const QRegularExpression pattern(
        QStringLiteral("^(FTDIBUS\\\\[^\\\\]*\\+[^\\\\+]+)([A-D])(\\\\.*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = pattern.match(instanceId);
    if (!m.hasMatch()) {
        *port = QLatin1Char('A');
        return instanceId;
    }
    *port = m.captured(2).at(0).toUpper();
    return m.captured(1).toUpper();
}

} // namespace

ComPortCableDriver::ComPortCableDriver(std::shared_ptr<ComPortApi> api, QString cableOverride,
                                       QString whyNotLibrary)
    : api_(std::move(api)), override_(std::move(cableOverride)),
      whyNotLibrary_(std::move(whyNotLibrary)) {}

ComPortCableDriver::~ComPortCableDriver() {
    if (port_)
        api_->close(port_);
}

QString ComPortCableDriver::portName(const QString& given) {
    QString name = given.trimmed();
    if (name.startsWith(QLatin1String("\\\\.\\")))
        name = name.mid(4);
    if (name.endsWith(QLatin1Char(':')))
        name.chop(1);
    return name.toUpper();
}

std::vector<ComPortCableDriver::Cable>
ComPortCableDriver::cablesOf(const std::vector<ComPortApi::Entry>& ports) {
    // In the order the system lists them, each chip with its first port.
    struct Chip {
        QString id;
        QChar port;
        Cable cable;
    };
    std::vector<Chip> chips;
    for (const ComPortApi::Entry& e : ports) {
        if (!e.ftdi || e.name.isEmpty())
            continue;
        QChar port;
        const QString id = chipOf(e.instanceId.isEmpty() ? e.name : e.instanceId, &port);
        const Cable cable{e.name, e.latencyMs, true};
        const auto it =
            std::find_if(chips.begin(), chips.end(), [&](const Chip& c) { return c.id == id; });
        if (it == chips.end())
            chips.push_back({id, port, cable});
        else if (port < it->port)
            *it = {id, port, cable};
    }
    std::vector<Cable> cables;
    for (const Chip& chip : chips)
        cables.push_back(chip.cable);
    return cables;
}

int ComPortCableDriver::CreateDeviceInfoList(std::uint32_t* count) {
    openProblem_ = {};
    cables_.clear();
    if (!override_.isEmpty()) {
        // The port named is the one cable; a name that is no port of the
        // system is no cable, and the system says why.
        const QString name = portName(override_);
        if (const ComPortApi::Error error = api_->exists(name)) {
            openProblem_ = {name, api_->errorText(error), OpenProblem::Advice::None};
        } else {
            Cable cable{name, -1, false};
            for (const ComPortApi::Entry& e : api_->ports())
                if (e.ftdi && e.name.compare(name, Qt::CaseInsensitive) == 0)
                    cable = {name, e.latencyMs, true};
            cables_.push_back(cable);
        }
    } else {
        cables_ = cablesOf(api_->ports());
    }
    *count = static_cast<std::uint32_t>(cables_.size());
    return 0;
}

int ComPortCableDriver::GetDeviceInfoList(std::uint8_t* list, std::size_t capacity,
                                          std::uint32_t* count) {
    *count = static_cast<std::uint32_t>(cables_.size());
    for (std::size_t i = 0; i < cables_.size(); ++i)
        writeEntry(list, capacity, i, cables_[i].name.toLatin1());
    return 0;
}

int ComPortCableDriver::OpenEx(const std::uint8_t* serial, int openBy, Handle* handle) {
    if (openBy != OpenBySerialNumber || port_)
        return StatusError;
    const QString wanted = QString::fromLatin1(serialOf(serial));
    const auto cable = std::find_if(cables_.begin(), cables_.end(),
                                    [&](const Cable& c) { return c.name == wanted; });
    if (cable == cables_.end())
        return StatusError;
    ComPortApi::Port port = nullptr;
    if (const ComPortApi::Error error =
            api_->open(QStringLiteral("\\\\.\\") + cable->name, &port)) {
        const bool held =
            error == ComPortApi::AccessDenied || error == ComPortApi::SharingViolation;
        openProblem_ = {cable->name, api_->errorText(error),
                        held ? OpenProblem::Advice::CloseOtherProgram : OpenProblem::Advice::None};
        return StatusError;
    }
    port_ = port;
    openCable_ = *cable;
    settings_ = {};
    *handle = 1;
    return 0;
}

int ComPortCableDriver::configure() {
    return api_->configure(port_, settings_) == 0 ? 0 : StatusError;
}

int ComPortCableDriver::SetBaudRate(Handle handle, std::uint32_t baud) {
    if (!valid(handle))
        return StatusError;
    settings_.baudRate = baud;
    return configure();
}

int ComPortCableDriver::SetDataCharacteristics(Handle handle, std::uint8_t wordLength,
                                               std::uint8_t stopBits, std::uint8_t parity) {
    if (!valid(handle) || (wordLength != 7 && wordLength != 8) ||
        (stopBits != 0 && stopBits != 2) || parity > 2)
        return StatusError;
    // The library's codes are the system's: one stop bit 0, two 2; no
    // parity 0, odd 1, even 2.
    settings_.byteSize = wordLength;
    settings_.stopBits = stopBits;
    settings_.parity = parity;
    settings_.parityCheck = parity != 0;
    return configure();
}

int ComPortCableDriver::SetFlowControl(Handle handle, std::uint16_t flow, std::uint8_t xon,
                                       std::uint8_t xoff) {
    if (!valid(handle))
        return StatusError;
    settings_.outxCtsFlow = flow == 0x0100;
    settings_.rtsControl = flow == 0x0100 ? 2 : 1;
    settings_.outxDsrFlow = flow == 0x0200;
    settings_.dtrControl = flow == 0x0200 ? 2 : 1;
    settings_.outX = settings_.inX = flow == 0x0400;
    // The system refuses a state whose XON and XOFF are the same character,
    // as the zeros given without that handshake are.
    if (flow == 0x0400) {
        settings_.xonChar = static_cast<char>(xon);
        settings_.xoffChar = static_cast<char>(xoff);
    }
    return configure();
}

int ComPortCableDriver::SetLatencyTimer(Handle handle, std::uint8_t milliseconds) {
    if (!valid(handle))
        return StatusError;
    // The virtual port's timer is a setting of the port that only an
    // administrator may change: it is read, and told when it differs.
    latencyProblem_ = {};
    if (!openCable_.ftdi)
        return 0; // a port of another make, or a terminal: no such timer
    if (openCable_.latencyMs < 0)
        latencyProblem_.reason = QStringLiteral("not among the port's settings");
    else if (openCable_.latencyMs != milliseconds)
        latencyProblem_ = {
            openCable_.latencyMs,
            QStringLiteral("set by an administrator in the port's advanced settings")};
    return 0;
}

int ComPortCableDriver::SetTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t writeMs) {
    if (!valid(handle))
        return StatusError;
    // A read returns when its bytes have come or `readMs` have passed in
    // all; a write gives up after `writeMs`.
    const ComPortApi::Error error = api_->setTimeouts(port_, {0, 0, readMs, 0, writeMs});
    // The last of the settings: what came or was queued before the port was
    // set up as the device's is thrown away.
    api_->purge(port_, ComPortApi::PurgeRx | ComPortApi::PurgeTx);
    return error == 0 ? 0 : StatusError;
}

int ComPortCableDriver::GetStatus(Handle handle, std::uint32_t* rxQueue, std::uint32_t* txQueue,
                                  std::uint32_t* events) {
    *rxQueue = *txQueue = *events = 0;
    if (!valid(handle))
        return StatusError;
    std::uint32_t errors = 0, in = 0, out = 0;
    if (api_->clearErrors(port_, &errors, &in, &out) != 0)
        return StatusError; // the cable was pulled out
    if (errors & (ComPortApi::BreakSeen | ComPortApi::FramingError)) {
        // A device switched off while the port is open sends a break, read
        // as a NUL byte: what came with it is not the device's answer.
        api_->purge(port_, ComPortApi::PurgeRx);
        in = 0;
    }
    *rxQueue = in;
    *txQueue = out;
    return 0;
}

int ComPortCableDriver::Read(Handle handle, std::uint8_t* buffer, std::uint32_t toRead,
                             std::uint32_t* read) {
    *read = 0;
    if (!valid(handle))
        return StatusError;
    std::uint32_t got = 0;
    const ComPortApi::Error error = api_->read(port_, buffer, toRead, &got);
    *read = std::min(got, toRead);
    return error == 0 ? 0 : StatusError;
}

int ComPortCableDriver::Write(Handle handle, const std::uint8_t* data, std::uint32_t toWrite,
                              std::uint32_t* written) {
    *written = 0;
    if (!valid(handle))
        return StatusError;
    std::uint32_t put = 0;
    const ComPortApi::Error error = api_->write(port_, data, toWrite, &put);
    *written = std::min(put, toWrite);
    return error == 0 ? 0 : StatusError;
}

int ComPortCableDriver::Close(Handle handle) {
    if (!valid(handle))
        return StatusError;
    api_->close(port_);
    port_ = nullptr;
    return 0;
}

QByteArray ComPortCableDriver::driverName() const {
    const QString& name = port_ ? openCable_.name : QString();
    return (name.isEmpty() ? QByteArray("COM") : name.toLatin1()) + ": " +
           whyNotLibrary_.toLatin1();
}
