#include "link/Exchanges.h"

#include "link/Clock.h"
#include "link/Crc.h"
#include "link/FTDI_Controller.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t PollMs = 10;
constexpr std::uint32_t ReadRequestMs = 500;
constexpr int ProgramIdleLimit = 400;
constexpr int ReadIdleLimit = 200;
constexpr int HandshakeRepeat = 50;
// A message that has begun is completed from later reads for at most this
// many polls: the driver's own read time-out, well beyond a USB chip's
// longest latency tick.
constexpr int CompletionPolls = 20;
constexpr std::uint32_t CompletionMs = 200;

// The keywords the device may send.
const char* const kDeviceWords[] = {Keyword::READY, Keyword::READYNEXT, Keyword::NEXT, Keyword::OK,
                                    Keyword::ERROR};

// The read is zero-terminated (at most capacity - 1 bytes land in the
// buffer), so whole-string comparison is a string comparison.
bool is(const std::array<std::uint8_t, FTDI_Controller::BufferSize>& buffer, const char* keyword) {
    return std::strcmp(reinterpret_cast<const char*>(buffer.data()), keyword) == 0;
}

// Writes bytes and logs them; true when all of them went out.
bool send(FTDI_Controller& c, const QByteArray& bytes, const QByteArray& logText) {
    std::uint32_t written = 0;
    const int status = c.writeBytes(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                    static_cast<std::uint32_t>(bytes.size()), &written);
    c.LogLine(logText, true);
    return status == 0 && written == static_cast<std::uint32_t>(bytes.size());
}

QByteArray hex(const QByteArray& bytes) {
    return FTDI_Controller::HexDump(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                    static_cast<int>(bytes.size()));
}

// Whether the bytes read so far are a message the device has begun and not
// yet finished: a packet short of its N + 3 bytes (N below 36), or a proper
// beginning of a keyword. Bytes that are a keyword already count as that one.
bool begun(const std::uint8_t* r, std::uint32_t got) {
    if (got == 0)
        return false;
    if (r[0] == PacketStart) {
        if (got == 1)
            return true;
        const std::uint32_t n = r[1];
        return n <= MaxAcceptedPacketData && got < n + 3;
    }
    bool prefix = false;
    for (const char* word : kDeviceWords) {
        const std::size_t length = std::strlen(word);
        if (got == length && std::memcmp(r, word, length) == 0)
            return false;
        if (got < length && std::memcmp(r, word, got) == 0)
            prefix = true;
    }
    return prefix;
}

// Whether the exchange still listens: the stop ends it at its next look,
// except while a programmed device is to give its verdict on the whole frame.
bool listening(const FTDI_Controller& c) {
    return c.isRunning() || c.allSent;
}

// Whether the bytes read, as they stand, are something the exchanges act on:
// a device keyword, or a packet of an accepted length.
bool meaningful(const std::uint8_t* r) {
    if (r[0] == PacketStart)
        return r[1] <= MaxAcceptedPacketData;
    for (const char* word : kDeviceWords) {
        if (std::strcmp(reinterpret_cast<const char*>(r), word) == 0)
            return true;
    }
    return false;
}

// Whether a byte can begin a message of the device.
bool beginsMessage(std::uint8_t b) {
    if (b == PacketStart)
        return true;
    for (const char* word : kDeviceWords) {
        if (static_cast<std::uint8_t>(word[0]) == b)
            return true;
    }
    return false;
}

// The rest of a message that has begun in the buffer, from the reads that
// follow: a USB chip hands the device's bytes over at each tick of its
// latency timer, so one answer may come in pieces. Each read is logged as it
// was read; nothing is written meanwhile.
int complete(FTDI_Controller& c, std::uint32_t* count, int* polls) {
    std::uint8_t* r = c.receiveBuffer.data();
    Clock& clock = c.clock();
    const std::uint32_t start = clock.TickCount();
    for (int poll = 0; poll < CompletionPolls && listening(c) && begun(r, *count) &&
                       clock.TickCount() - start < CompletionMs;
         ++poll) {
        clock.Sleep(PollMs);
        if (polls)
            ++*polls;
        // Appended after what came before, zero-filled and zero-terminated
        // as any read.
        std::uint32_t more = 0;
        const int next = c.ReadAvailable(r + *count, FTDI_Controller::ReceiveCapacity, &more);
        *count += more;
        if (next != 0)
            return next;
    }
    return 0;
}

// One read, completed when it holds the beginning of a message. A lone byte
// that begins a message but is followed by something else (an 'N' the line
// caught before "NEXT", a ':' before a packet) would hide the answer behind
// it, so when the bytes mean nothing as they stand, what follows that byte is
// judged as a read of its own would be, and completed in turn. Whole answers
// are judged exactly as read. The completion's polls are added to `polls`.
int readInto(FTDI_Controller& c, std::uint32_t* count, int* polls = nullptr) {
    std::uint8_t* r = c.receiveBuffer.data();
    int status = c.ReadAvailable(r, FTDI_Controller::ReceiveCapacity, count);
    if (status != 0)
        return status;
    status = complete(c, count, polls);
    while (status == 0 && *count > 1 && beginsMessage(r[0]) && !meaningful(r)) {
        std::memmove(r, r + 1, *count - 1);
        r[--*count] = 0;
        status = complete(c, count, polls);
    }
    return status;
}

} // namespace

QByteArray makePacket(const std::uint8_t* data, int count) {
    QByteArray packet;
    packet.reserve(count + 3);
    packet += static_cast<char>(PacketStart);
    packet += static_cast<char>(count);
    packet.append(reinterpret_cast<const char*>(data), count);
    packet += static_cast<char>(Checksum8(reinterpret_cast<const std::uint8_t*>(packet.constData()),
                                          static_cast<std::size_t>(packet.size())));
    return packet;
}

QByteArray EndPacket() {
    return makePacket(nullptr, 0);
}

ExchangeResult ProgramExchange(FTDI_Controller& c) {
    Clock& clock = c.clock();
    c.logStart("==== START PROGRAMMING ====");

    // Handshake: "WRITE" on the first poll and on every 51st after it, until
    // the device is ready. Only the operator's stop ends a silent wait.
    bool firstAtOnce = false;
    int poll = 0;
    while (c.isRunning()) {
        if (poll == 0 && !send(c, QByteArray(Keyword::WRITE), QByteArray(Keyword::WRITE)))
            return ExchangeResult::CableError;
        clock.Sleep(PollMs);
        if (++poll > HandshakeRepeat)
            poll = 0;
        std::uint32_t got = 0;
        if (readInto(c, &got) != 0)
            return ExchangeResult::CableError;
        if (is(c.receiveBuffer, Keyword::ERROR))
            return ExchangeResult::DeviceError;
        if (is(c.receiveBuffer, Keyword::READY))
            break;
        if (is(c.receiveBuffer, Keyword::READYNEXT)) {
            firstAtOnce = true;
            break;
        }
    }
    if (!c.isRunning())
        return ExchangeResult::Stopped;

    // Transfer: a packet on each "NEXT", then the end packet; "OK" completes.
    std::int64_t offset = 0;
    int idle = 0;
    QByteArray packet = makePacket(c.sendBuffer.data(), MaxSentPacketData);
    bool waiting = firstAtOnce;
    // A stop after the end packet: nothing more is written, and the device
    // has the usual idle limit, counted from the stop, to give its verdict.
    bool stoppedWhenAllSent = false;
    c.allSent = false;
    while (listening(c)) {
        if (!stoppedWhenAllSent && !c.isRunning()) {
            stoppedWhenAllSent = true;
            idle = 0;
        }
        if (waiting && !stoppedWhenAllSent) {
            if (!send(c, packet, hex(packet)))
                return ExchangeResult::CableError;
            // Once the end packet is out the device may hold the frame.
            if (packet.size() == 3 && static_cast<std::uint8_t>(packet[1]) == 0)
                c.allSent = true;
            offset += MaxSentPacketData;
            waiting = false;
            idle = 0;
        } else {
            std::uint32_t got = 0;
            if (readInto(c, &got, &idle) != 0)
                return ExchangeResult::CableError;
            if (is(c.receiveBuffer, Keyword::NEXT) && !stoppedWhenAllSent) {
                if (c.dataLength > offset) {
                    const auto n = static_cast<int>(
                        std::min<std::int64_t>(MaxSentPacketData, c.dataLength - offset));
                    packet = makePacket(c.sendBuffer.data() + offset, n);
                } else {
                    packet = EndPacket();
                }
                waiting = true;
                continue;
            }
            if (is(c.receiveBuffer, Keyword::OK))
                return ExchangeResult::Completed;
            if (is(c.receiveBuffer, Keyword::ERROR))
                return ExchangeResult::DeviceError;
        }
        clock.Sleep(PollMs);
        if (++idle > ProgramIdleLimit)
            return stoppedWhenAllSent ? ExchangeResult::Stopped : ExchangeResult::DeviceError;
    }
    return ExchangeResult::Stopped;
}

ExchangeResult ReadExchange(FTDI_Controller& c) {
    Clock& clock = c.clock();
    c.logStart("==== START READING ====");

    // Handshake: "READ" about every half second until "READY".
    while (c.isRunning()) {
        std::uint32_t written = 0;
        const int status =
            c.writeBytes(reinterpret_cast<const std::uint8_t*>(Keyword::READ), 4, &written);
        c.LogLine(Keyword::READ, true);
        if (status != 0)
            return ExchangeResult::CableError;
        clock.Sleep(ReadRequestMs);
        std::uint32_t got = 0;
        if (readInto(c, &got) != 0)
            return ExchangeResult::CableError;
        if (is(c.receiveBuffer, Keyword::ERROR))
            return ExchangeResult::DeviceError;
        if (is(c.receiveBuffer, Keyword::READY))
            break;
    }
    if (!c.isRunning())
        return ExchangeResult::Stopped;

    // Collection: "NEXT" for each packet, until the end packet.
    const QByteArray next(Keyword::NEXT);
    bool due = true;
    bool done = false;
    bool failed = false;
    int total = 0;
    int idle = 0;
    const std::uint8_t* r = c.receiveBuffer.data();
    while (c.isRunning() && !done && !failed) {
        if (due) {
            if (!send(c, next, hex(next)))
                return ExchangeResult::CableError;
            due = false;
            idle = 0;
        } else {
            std::uint32_t got = 0;
            if (readInto(c, &got, &idle) != 0)
                return ExchangeResult::CableError;
            // A packet is judged once it is complete, or the completion has
            // given up; bytes that have not come by then read as zero.
            if (r[0] == PacketStart) {
                const int n = r[1];
                if (n == 0 && r[2] == 0xC6 && got == 3) {
                    done = true;
                    break;
                }
                if (n <= MaxAcceptedPacketData) {
                    if (Checksum8(r, static_cast<std::size_t>(n) + 2) != r[n + 2]) {
                        failed = true;
                    } else {
                        due = true;
                        if (total + n > FTDI_Controller::BufferSize) {
                            failed = true;
                        } else {
                            std::memcpy(c.dataBuffer.data() + total, r + 2,
                                        static_cast<std::size_t>(n));
                            total += n;
                        }
                    }
                }
            }
        }
        if (!due) {
            clock.Sleep(PollMs);
            if (++idle > ReadIdleLimit)
                failed = true;
        }
    }
    std::uint32_t written = 0;
    if (!c.isRunning())
        return ExchangeResult::Stopped;
    if (failed) {
        (void)c.writeBytes(reinterpret_cast<const std::uint8_t*>(Keyword::ERROR), 5, &written);
        return ExchangeResult::DeviceError;
    }
    if (!done)
        return ExchangeResult::Stopped;
    (void)c.writeBytes(reinterpret_cast<const std::uint8_t*>(Keyword::OK), 2, &written);
    c.dataLength = total;
    return ExchangeResult::Completed;
}
