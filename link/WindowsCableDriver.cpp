#include "link/WindowsCableDriver.h"

#include "link/ComPortCableDriver.h"
#include "link/D2xxCableDriver.h"

WindowsCableDriver::WindowsCableDriver(LibraryLoader loadLibrary, std::shared_ptr<ComPortApi> ports,
                                       QString cableOverride)
    : loadLibrary_(std::move(loadLibrary)), ports_(std::move(ports)),
      override_(std::move(cableOverride)) {}

WindowsCableDriver::~WindowsCableDriver() = default;

CableDriver& WindowsCableDriver::chosen() {
    if (chosen_)
        return *chosen_;
    QString whyNot = QStringLiteral("UOO_CABLE is set");
    if (override_.isEmpty()) {
        if (auto library = loadLibrary_(&whyNot)) {
            chosen_ = std::make_unique<D2xxCableDriver>(std::move(library));
            return *chosen_;
        }
    }
    chosen_ = std::make_unique<ComPortCableDriver>(ports_, override_, whyNot);
    return *chosen_;
}

int WindowsCableDriver::CreateDeviceInfoList(std::uint32_t* count) {
    // A job's driver serves one search and one cable; a cable closed by a
    // failed setting is searched for again in the same way.
    return chosen().CreateDeviceInfoList(count);
}

int WindowsCableDriver::GetDeviceInfoList(std::uint8_t* list, std::size_t capacity,
                                          std::uint32_t* count) {
    return chosen().GetDeviceInfoList(list, capacity, count);
}

int WindowsCableDriver::OpenEx(const std::uint8_t* serial, int openBy, Handle* handle) {
    return chosen().OpenEx(serial, openBy, handle);
}

int WindowsCableDriver::SetBaudRate(Handle handle, std::uint32_t baud) {
    return chosen().SetBaudRate(handle, baud);
}

int WindowsCableDriver::SetDataCharacteristics(Handle handle, std::uint8_t wordLength,
                                               std::uint8_t stopBits, std::uint8_t parity) {
    return chosen().SetDataCharacteristics(handle, wordLength, stopBits, parity);
}

int WindowsCableDriver::SetFlowControl(Handle handle, std::uint16_t flow, std::uint8_t xon,
                                       std::uint8_t xoff) {
    return chosen().SetFlowControl(handle, flow, xon, xoff);
}

int WindowsCableDriver::SetLatencyTimer(Handle handle, std::uint8_t milliseconds) {
    return chosen().SetLatencyTimer(handle, milliseconds);
}

int WindowsCableDriver::SetTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t writeMs) {
    return chosen().SetTimeouts(handle, readMs, writeMs);
}

int WindowsCableDriver::GetStatus(Handle handle, std::uint32_t* rxQueue, std::uint32_t* txQueue,
                                  std::uint32_t* events) {
    return chosen().GetStatus(handle, rxQueue, txQueue, events);
}

int WindowsCableDriver::Read(Handle handle, std::uint8_t* buffer, std::uint32_t toRead,
                             std::uint32_t* read) {
    return chosen().Read(handle, buffer, toRead, read);
}

int WindowsCableDriver::Write(Handle handle, const std::uint8_t* data, std::uint32_t toWrite,
                              std::uint32_t* written) {
    return chosen().Write(handle, data, toWrite, written);
}

int WindowsCableDriver::Close(Handle handle) {
    return chosen().Close(handle);
}

CableDriver::OpenProblem WindowsCableDriver::lastOpenProblem() const {
    return chosen_ ? chosen_->lastOpenProblem() : OpenProblem{};
}

CableDriver::LatencyProblem WindowsCableDriver::latencyTimerProblem() const {
    return chosen_ ? chosen_->latencyTimerProblem() : LatencyProblem{};
}

QByteArray WindowsCableDriver::driverName() const {
    return chosen_ ? chosen_->driverName() : QByteArray();
}
