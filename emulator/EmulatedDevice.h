#pragma once

#include "link/ConfigFrame.h"

#include <QByteArray>

#include <cstdint>
#include <deque>

// How an emulated device behaves; the defaults make a well-behaved device
// that answers at once.
struct DeviceScript {
    bool readyNext = false;          // answer "WRITE" with "READYNEXT" rather than "READY"
    bool silent = false;             // never answer anything
    int errorAtAnswer = -1;          // the n-th answer (from 0) is "ERROR"
    int okAfterPackets = -1;         // programming: "OK" after this many data packets
    int badChecksumAtPacket = -1;    // reading: the n-th packet sent carries a wrong checksum
    int splitPacketAt = -1;          // reading: the n-th packet is sent in two parts
    std::uint32_t splitDelayMs = 0;  // ... the second part this much later
    bool extraAfterEnd = false;      // reading: the first end packet comes with more bytes
    int readPacketSize = 32;         // reading: data bytes per packet, 1..35
    std::uint32_t answerDelayMs = 0; // every answer this much after the request
    QByteArray readData;             // reading: sent in place of the stored frame when set
    int silentFromAnswer = -1;       // the n-th answer (from 0) and all after it are not sent
    int strayAtAnswer = -1;          // the n-th answer comes after a lone byte ...
    char strayByte = 'N';            // ... this one,
    std::uint32_t strayLeadMs = 0;   // ... this much ahead of it
};

// The device's side of both dialogues, driven by the bytes the program sends.
// Answers come out as chunks, each sent as one piece once the one before has
// been taken in.
class EmulatedDevice {
public:
    struct Chunk {
        QByteArray bytes;
        std::uint32_t delayMs = 0;
    };

    explicit EmulatedDevice(DeviceScript script = {});

    void receive(const std::uint8_t* data, std::size_t count);
    std::deque<Chunk>& outbox() { return outbox_; }
    const std::deque<Chunk>& outbox() const { return outbox_; }

    const ConfigFrame& storedFrame() const { return frame_; }
    void setStoredFrame(const ConfigFrame& frame) { frame_ = frame; }
    int framesStored() const { return framesStored_; }
    int readsCompleted() const { return readsCompleted_; }
    int readsFailed() const { return readsFailed_; }
    const DeviceScript& script() const { return script_; }
    DeviceScript& script() { return script_; }

private:
    enum class State { Idle, Receiving, Sending };

    void parse();
    void onKeyword(const QByteArray& word);
    void onPacket(const QByteArray& packet);
    void answer(const QByteArray& bytes, std::uint32_t extraDelay = 0);
    void sendNextPacket();
    QByteArray readSource() const;

    DeviceScript script_;
    ConfigFrame frame_{};
    State state_ = State::Idle;
    QByteArray input_;
    QByteArray collected_;
    std::deque<Chunk> outbox_;
    int answers_ = 0;
    int packetsTaken_ = 0;
    int packetsSent_ = 0;
    int sendOffset_ = 0;
    bool endSent_ = false;
    int framesStored_ = 0;
    int readsCompleted_ = 0;
    int readsFailed_ = 0;
};
