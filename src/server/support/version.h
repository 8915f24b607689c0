#pragma once

namespace pelmora::server {
// The project's version, from src/state/version.h (the build passes it in).
constexpr const char* kServerVersion = PELMORA_SERVER_VERSION;
} // namespace pelmora::server
