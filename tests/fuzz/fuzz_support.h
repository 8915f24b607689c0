#pragma once
// What every fuzz target shares: a scratch client directory (on tmpfs when
// there is one) whose program directory is the current directory for the
// whole run, and a way to put the fuzz input in one of its files.
#include <cstddef>
#include <cstdint>
#include <string>

namespace pelmora {

// Makes <scratch>/client/pelmora/ and moves into it; removed at exit.
void enterScratchClientDir();
// Writes bytes to path (relative to the program's directory, e.g. "../unitinfo.txt").
void writeScratchFile(const char* path, const uint8_t* data, size_t size);
void writeScratchFile(const char* path, const std::string& bytes);
void removeScratchFile(const char* path);

} // namespace pelmora
