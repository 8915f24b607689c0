#pragma once
// pelmora-bridge's command line.
#include <string>

#include "bridge/follower.h"

namespace pelmora::bridge {

// Reads the command line into options and, with --password-file, the
// password. -1: go on; otherwise the program ends with that status (0 after
// --help or --version, 1 after a wrong command line).
int readCommandLine(int argc, const char* const* argv, Options& options, std::string& password);

} // namespace pelmora::bridge
