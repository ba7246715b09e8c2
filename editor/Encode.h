#pragma once

#include "editor/CardForm.h"

class SettingsRecord;

// Writes what the editor shows into the slot: the programming date and both
// identifiers survive, everything else is written afresh, ChangeDate := now;
// then the template becomes the slot's device settings without identity.
// Controls are read whether enabled or not; the caller refreshes the row.
void EncodeForm(const CardForm& form, SettingsRecord& slot, SettingsRecord& templ, double now);
