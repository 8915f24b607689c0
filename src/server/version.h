#pragma once

namespace pelmora::server {
constexpr const char* kServerVersion = "1.0";
} // namespace pelmora::server
