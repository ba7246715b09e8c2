#include "emulator/EmulatedDevice.h"

#include "link/Crc.h"
#include "link/Exchanges.h"

#include <algorithm>

namespace {

const QByteArray kHostWords[] = {QByteArray(Keyword::WRITE), QByteArray(Keyword::READ),
                                 QByteArray(Keyword::NEXT), QByteArray(Keyword::OK),
                                 QByteArray(Keyword::ERROR)};

} // namespace

EmulatedDevice::EmulatedDevice(DeviceScript script) : script_(std::move(script)) {}

void EmulatedDevice::receive(const std::uint8_t* data, std::size_t count) {
    input_.append(reinterpret_cast<const char*>(data), static_cast<qsizetype>(count));
    parse();
}

// The program's messages come whole or split by the line; a byte that cannot
// begin anything is dropped, as the device's receiver does.
void EmulatedDevice::parse() {
    while (!input_.isEmpty()) {
        if (static_cast<std::uint8_t>(input_[0]) == PacketStart) {
            if (input_.size() < 2)
                return;
            const int n = static_cast<std::uint8_t>(input_[1]);
            if (input_.size() < n + 3)
                return;
            const QByteArray packet = input_.left(n + 3);
            input_.remove(0, n + 3);
            onPacket(packet);
            continue;
        }
        bool prefix = false;
        bool matched = false;
        for (const QByteArray& word : kHostWords) {
            if (input_.startsWith(word)) {
                input_.remove(0, word.size());
                onKeyword(word);
                matched = true;
                break;
            }
            if (word.startsWith(input_))
                prefix = true;
        }
        if (matched)
            continue;
        if (prefix)
            return;
        input_.remove(0, 1);
    }
}

void EmulatedDevice::answer(const QByteArray& bytes, std::uint32_t extraDelay) {
    const int index = answers_++;
    if (script_.silent || (script_.silentFromAnswer >= 0 && index >= script_.silentFromAnswer))
        return;
    const bool error = index == script_.errorAtAnswer;
    std::uint32_t delay = script_.answerDelayMs + extraDelay;
    if (index == script_.strayAtAnswer) {
        outbox_.push_back({QByteArray(1, script_.strayByte), delay});
        delay = script_.strayLeadMs;
    }
    outbox_.push_back({error ? QByteArray(Keyword::ERROR) : bytes, delay});
    if (error) {
        state_ = State::Idle;
        // Whatever was going to follow this answer is not sent.
    }
}

void EmulatedDevice::onKeyword(const QByteArray& word) {
    if (word == Keyword::WRITE) {
        state_ = State::Receiving;
        collected_.clear();
        packetsTaken_ = 0;
        if (script_.readyNext) {
            answer(QByteArray(Keyword::READYNEXT));
        } else {
            answer(QByteArray(Keyword::READY));
            if (state_ == State::Receiving)
                answer(QByteArray(Keyword::NEXT));
        }
    } else if (word == Keyword::READ) {
        state_ = State::Sending;
        packetsSent_ = 0;
        sendOffset_ = 0;
        endSent_ = false;
        answer(QByteArray(Keyword::READY));
    } else if (word == Keyword::NEXT) {
        if (state_ == State::Sending)
            sendNextPacket();
    } else if (word == Keyword::OK) {
        if (state_ == State::Sending && endSent_)
            ++readsCompleted_;
        state_ = State::Idle;
    } else if (word == Keyword::ERROR) {
        if (state_ == State::Sending)
            ++readsFailed_;
        state_ = State::Idle;
    }
}

void EmulatedDevice::onPacket(const QByteArray& packet) {
    if (state_ != State::Receiving)
        return;
    const auto* p = reinterpret_cast<const std::uint8_t*>(packet.constData());
    if (Checksum8(p, static_cast<std::size_t>(packet.size())) != 0) {
        answer(QByteArray(Keyword::ERROR));
        state_ = State::Idle;
        return;
    }
    const int n = p[1];
    if (n == 0) {
        // The end: a whole frame with a good CRC is kept.
        const auto* f = reinterpret_cast<const std::uint8_t*>(collected_.constData());
        if (isValidFrame(f, static_cast<int>(collected_.size()))) {
            std::copy(f, f + ConfigFrameSize, frame_.begin());
            ++framesStored_;
            answer(QByteArray(Keyword::OK));
        } else {
            answer(QByteArray(Keyword::ERROR));
        }
        state_ = State::Idle;
        return;
    }
    if (collected_.size() + n > 4096) {
        answer(QByteArray(Keyword::ERROR));
        state_ = State::Idle;
        return;
    }
    collected_.append(packet.mid(2, n));
    ++packetsTaken_;
    if (packetsTaken_ == script_.okAfterPackets) {
        answer(QByteArray(Keyword::OK));
        state_ = State::Idle;
        return;
    }
    answer(QByteArray(Keyword::NEXT));
}

QByteArray EmulatedDevice::readSource() const {
    if (!script_.readData.isNull())
        return script_.readData;
    return QByteArray(reinterpret_cast<const char*>(frame_.data()), ConfigFrameSize);
}

void EmulatedDevice::sendNextPacket() {
    const QByteArray source = readSource();
    if (sendOffset_ >= source.size()) {
        QByteArray end = EndPacket();
        if (script_.extraAfterEnd && !endSent_)
            end += QByteArray(Keyword::OK);
        endSent_ = true;
        answer(end);
        return;
    }
    const int size = std::clamp(script_.readPacketSize, 1, MaxAcceptedPacketData);
    const int n = std::min<int>(size, static_cast<int>(source.size()) - sendOffset_);
    QByteArray packet =
        makePacket(reinterpret_cast<const std::uint8_t*>(source.constData()) + sendOffset_, n);
    sendOffset_ += n;
    const int index = packetsSent_++;
    if (index == script_.badChecksumAtPacket)
        packet[packet.size() - 1] = static_cast<char>(packet[packet.size() - 1] ^ 0x5A);
    if (index == script_.splitPacketAt && packet.size() > 1) {
        const int half = static_cast<int>(packet.size()) / 2;
        answer(packet.left(half));
        if (!script_.silent && state_ == State::Sending)
            outbox_.push_back({packet.mid(half), script_.splitDelayMs});
        return;
    }
    answer(packet);
}
