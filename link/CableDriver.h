#pragma once

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The twelve operations the device link needs from a USB-serial cable. Every
// call returns a status, 0 for success.
class CableDriver {
public:
    using Handle = std::uint32_t;
    // The device information list: entries of this size; the serial number
    // is the 16-byte field at offset 16 of an entry.
    static constexpr int EntrySize = 64;
    static constexpr int SerialOffset = 16;
    static constexpr int SerialSize = 16;
    static constexpr int OpenBySerialNumber = 1;
    static constexpr int StatusError = 4; // "I/O error", for drivers that need one

    virtual ~CableDriver() = default;

    // What the system said when the last search or open found no usable
    // cable: the path tried and the system's own words for the error. An
    // empty path: nothing to add to the driver's status. The advice says
    // what the operator can do about it.
    struct OpenProblem {
        enum class Advice { None, JoinDialoutGroup, CloseOtherProgram };
        QString path;
        QString reason;
        Advice advice = Advice::None;
    };
    virtual OpenProblem lastOpenProblem() const { return {}; }

    // The latency timer when it could not be set as asked: the value it has
    // and the reason, in English as the log is. No reason: nothing to report
    // (it was set, or the cable has no such timer); a reason with a value
    // below 0: the timer could not even be read.
    struct LatencyProblem {
        int value = -1;
        QString reason;
    };
    virtual LatencyProblem latencyTimerProblem() const { return {}; }

    // Which driver serves the open cable, for the exchange log ("D2XX",
    // "COM5: ftd2xx.dll not found"); empty where there is only one kind.
    virtual QByteArray driverName() const { return {}; }

    // Builds the device list and counts the cables.
    [[nodiscard]] virtual int CreateDeviceInfoList(std::uint32_t* count) = 0;
    // Writes the list into `list`, at most `capacity` bytes of it.
    [[nodiscard]] virtual int GetDeviceInfoList(std::uint8_t* list, std::size_t capacity,
                                                std::uint32_t* count) = 0;
    // Opens the cable whose serial number is the zero-padded 16-byte field.
    [[nodiscard]] virtual int OpenEx(const std::uint8_t* serial, int openBy, Handle* handle) = 0;
    // The five settings of an open cable. A cable that has nothing to set
    // (a simulated one) accepts each as it is.
    [[nodiscard]] virtual int SetBaudRate(Handle, std::uint32_t /*baud*/) { return 0; }
    [[nodiscard]] virtual int SetDataCharacteristics(Handle, std::uint8_t /*wordLength*/,
                                                     std::uint8_t /*stopBits*/,
                                                     std::uint8_t /*parity*/) {
        return 0;
    }
    [[nodiscard]] virtual int SetFlowControl(Handle, std::uint16_t /*flow*/, std::uint8_t /*xon*/,
                                             std::uint8_t /*xoff*/) {
        return 0;
    }
    [[nodiscard]] virtual int SetLatencyTimer(Handle, std::uint8_t /*milliseconds*/) { return 0; }
    [[nodiscard]] virtual int SetTimeouts(Handle, std::uint32_t /*readMs*/,
                                          std::uint32_t /*writeMs*/) {
        return 0;
    }
    // Bytes waiting to be read, bytes waiting to be sent, events.
    [[nodiscard]] virtual int GetStatus(Handle handle, std::uint32_t* rxQueue,
                                        std::uint32_t* txQueue, std::uint32_t* events) = 0;
    // Returns once `toRead` bytes have come or the read time-out has passed.
    [[nodiscard]] virtual int Read(Handle handle, std::uint8_t* buffer, std::uint32_t toRead,
                                   std::uint32_t* read) = 0;
    [[nodiscard]] virtual int Write(Handle handle, const std::uint8_t* data, std::uint32_t toWrite,
                                    std::uint32_t* written) = 0;
    [[nodiscard]] virtual int Close(Handle handle) = 0;

protected:
    // Entry `index` of the device list as the controller reads it: zeroed,
    // the serial number in its field; nothing when it does not fit.
    static void writeEntry(std::uint8_t* list, std::size_t capacity, std::size_t index,
                           const QByteArray& serial) {
        const std::size_t at = index * EntrySize;
        if (at + EntrySize > capacity)
            return;
        std::memset(list + at, 0, EntrySize);
        std::memcpy(list + at + SerialOffset, serial.constData(),
                    std::min<std::size_t>(static_cast<std::size_t>(serial.size()), SerialSize));
    }
    // The serial number the open call was given: its zero-padded field.
    static QByteArray serialOf(const std::uint8_t* field) {
        const char* text = reinterpret_cast<const char*>(field);
        return QByteArray(text, static_cast<qsizetype>(strnlen(text, SerialSize)));
    }
};
