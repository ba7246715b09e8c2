#pragma once

#include "link/FTDI_Controller.h"

#include <QByteArray>

#include <cstdint>

// The keywords of the dialogue with the device: bare ASCII, no terminator.
namespace Keyword {
inline constexpr char WRITE[] = "WRITE";
inline constexpr char READ[] = "READ";
inline constexpr char READY[] = "READY";
inline constexpr char READYNEXT[] = "READYNEXT";
inline constexpr char NEXT[] = "NEXT";
inline constexpr char OK[] = "OK";
inline constexpr char ERROR[] = "ERROR";
} // namespace Keyword

// A data packet: ':' , N, N data bytes, Checksum8 of the bytes before it.
inline constexpr std::uint8_t PacketStart = 0x3A;
inline constexpr int MaxSentPacketData = 32;
inline constexpr int MaxAcceptedPacketData = 35;
QByteArray makePacket(const std::uint8_t* data, int count);
// ':' 00 C6.
QByteArray EndPacket();

// Sends the first dataLength bytes of the controller's sendBuffer to the
// device.
ExchangeResult ProgramExchange(FTDI_Controller& c);
// Collects a frame from the device into dataBuffer and dataLength.
ExchangeResult ReadExchange(FTDI_Controller& c);
