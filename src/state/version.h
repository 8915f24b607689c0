#pragma once

namespace pelmora {
// Names and texts the program shows; the resource script includes this file too.

#define PELMORA_TITLE "Pelmora 2.0"
#define PELMORA_NAME_VERSION "Pelmora v2.0"
#define PELMORA_CREDITS "(C) 2026 the Pelmora team"

} // namespace pelmora
