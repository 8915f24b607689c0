#pragma once
// Checks on the state record that the sanitizers cannot make: a write past
// a text field's terminator stays inside the record, and a field that
// changes where it should not is no memory error at all. Each failure
// names the field and aborts, so libFuzzer keeps the input.
#include <initializer_list>

#include "state/monitor_state.h"

namespace pelmora {

// Every text field of state holds a NUL within its width. Every target
// calls this after each input.
void checkStateTexts();

// Every field of state is as in before (a byte copy of the record), except
// those named in mayChange ("trayIcon.szTip" for the tooltip). Text fields
// compare as text: bytes past the terminator are not content.
void checkStateUnchanged(const MonitorState& before, std::initializer_list<const char*> mayChange);

// Aborts with the message when the condition does not hold.
void require(bool condition, const char* message);

} // namespace pelmora
