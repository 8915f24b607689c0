#pragma once

// Names and texts the program shows; the resource script includes this file too.
// The one place the version is written: CMake reads PELMORA_VERSION from here
// for the project, the server, the bridge and the packages, and stops when a
// text below does not carry it. Macros only: the resource compiler reads it.
#define PELMORA_VERSION "2.0"
#define PELMORA_VERSION_MAJOR 2
#define PELMORA_VERSION_MINOR 0
#define PELMORA_TITLE "Pelmora 2.0"
#define PELMORA_NAME_VERSION "Pelmora v2.0"
#define PELMORA_CREDITS "(C) 2026 the Pelmora team"
