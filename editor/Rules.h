#pragma once

#include "editor/CardForm.h"

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

class QRandomGenerator;
class SettingsRecord;

// The output profile descriptions, by profile index.
extern const std::array<QString, 7> RelayProfileTexts;
// The description of a profile, or nothing for an index outside the table.
std::optional<QString> relayProfileText(int index);

// Label17: "( 0x" + the code as 8 upper-case hex digits + " )", empty for an
// empty code.
void UpdateCodeLabel(CardForm& form);

// A SIM's switch (1 or 2) turns the boxes of its connection on or off.
void applySimSwitch(CardForm& form, int sim);
// The balance check's switch turns its boxes on or off; off, it also empties
// both balance phone boxes.
void applyBalanceSwitch(CardForm& form);
// The return to the first SIM has its interval box only while it is on.
void applyReturnSwitch(CardForm& form);

// Who raised the loop rules: the window itself (as the record display does)
// or one of the loop boxes 1..5.
inline constexpr int SenderWindow = 0;
// The entry-loop rules always; the one-control-loop rule only for a loop box,
// where the newest choice wins.
void applyLoopRules(CardForm& form, int sender);

// Label40 := the description of output `output`'s profile (1 or 2);
// unchanged when that box has no valid selection.
void showOutputProfile(CardForm& form, int output);
// The description of the output whose page is now shown.
void showActiveOutputProfile(CardForm& form);

// A new MAC address: "00", then five random bytes 0..254 in hex.
void makeMacAddress(CardForm& form, QRandomGenerator& random);
// A random local port, at least 6001 and below 64000.
QString randomPortLoc(QRandomGenerator& random);

// Fills the form from a record; a free slot shows the template (with its
// operating mode and version cleared). Controls the record has no place for
// keep what `previous` shows. The caller refreshes the grid row.
CardForm ShowRecord(const SettingsRecord& record, const SettingsRecord& templ,
                    const CardForm& previous, bool outputsVisible = true);

// The editor's values for a card rebuilt from a device's image (its 260
// bytes): everything the image holds, the balance check ticked when any
// balance text is there, and what a device does not hold (the card's name,
// object, address, remark, SIM bookkeeping) as the template gives it.
CardForm cardFromDevice(const std::uint8_t* image, const SettingsRecord& templ,
                        const CardForm& previous, bool outputsVisible = true);
