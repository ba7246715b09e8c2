#pragma once

#include "store/CardFields.h"
#include "store/SettingsRecord.h"

#include <QLocale>
#include <QString>

#include <cstdint>
#include <vector>

class SettingsDatabase;

// Which card of the database a device holds, and what differs. A programming
// stamps the frame's CRC into the card as ProgID1 (the one before moves to
// ProgID2), and a device returns the frame it was sent: so the CRC of a frame
// read back names the card and the version of it that was written.
struct DeviceMatch {
    // In the order they are tried; the first that applies is the answer.
    enum class Case {
        Same = 1, // written from this card, and the card still says so
        Changed,  // written from this card, edited in the database since
        Previous, // written from the version of the card before the last
        SameCode, // a card with the device's code, written from elsewhere
        Unknown,  // nothing in the database
    };
    Case found = Case::Unknown;
    int slot = -1;
    // The fields of the device image whose values the card's differ from.
    std::vector<const CardField*> differing;
};

// The device part of a card as a programming sends it now (the rest zero).
SettingsRecord asSent(const SettingsRecord& card);

// The device's image (bytes 0..259 of the frame read) against the card as
// its frame would carry it now. Fields are compared by value, through the
// field table: bytes after a text's end and unused bits do not count, and a
// number's 0 is the value it means.
std::vector<const CardField*> differingFields(const SettingsRecord& card,
                                              const std::uint8_t* deviceImage);

// The fields whose values differ between two cards, in the table's order,
// compared as above; the read-back window's comparison and a card's history
// both say what differs through it.
std::vector<const CardField*> changedFields(const SettingsRecord& a, const SettingsRecord& b);

// Looks for the card of a frame read from a device (its 264 bytes). Only
// cards in use take part; naming a card by its CRC also needs the device's
// code to be the card's and the card to have been programmed. Among cards of
// one case, the lowest row wins.
DeviceMatch matchDevice(const SettingsDatabase& db, const std::uint8_t* frame);

// The line that tells the operator what the database knows of the device:
// which card it holds and how many of its fields differ. `card` is the
// matched card (not looked at for an unknown device); its programming date
// is written in `locale`.
QString verdictText(const DeviceMatch& match, const SettingsRecord& card, const QLocale& locale);
