#pragma once

namespace pelmora_server {
constexpr const char* kServerVersion = "1.0";
} // namespace pelmora_server
