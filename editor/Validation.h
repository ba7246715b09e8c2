#pragma once

#include "editor/CardForm.h"

#include <QString>

#include <optional>

class SettingsDatabase;

// The thirteen checks of a card before it is saved, on the form as typed.
// Returns the one message to show (caption "Внимание!") for the first check
// that fails, or nothing when the card may be saved. The uniqueness check
// looks at the used slots other than `currentSlot`.
std::optional<QString> validateCard(const CardForm& form, const SettingsDatabase& db,
                                    int currentSlot);

// The explanation of the admitted code ranges, part of check 7's message.
extern const QString RangeText;
