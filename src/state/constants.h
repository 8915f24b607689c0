#pragma once

namespace pelmora {
// Figures and names that more than one part of the program, its tests and
// its test peers must agree on. Everything here is fixed at build time.

// The team monitor server's port and record: protocol/monitor_protocol.h.
// How long a command from the monitor server to restart the client's
// service waits between stopping and starting it.
constexpr unsigned kServiceRestartPauseMs = 5000;

// Time-outs. A time-out is a failed call with the platform's time-out error.
constexpr int kTcpConnectTimeoutMs = 5000;   // monitor server: connecting
constexpr int kTcpTransferTimeoutMs = 10000; // monitor server: each send and receive
constexpr int kHttpConnectTimeoutMs = 10000; // stats site: connecting
constexpr int kHttpRequestTimeoutMs = 60000; // stats site: the whole request

// The stats site: the host used when the settings name none, the agent text
// the request carries, the file its answer is saved to and the most of that
// answer that is kept (past it the download ends as a failure).
constexpr const char* kDefaultStatsHost = "stats.korvex.example";
constexpr const char* kHttpAgent = "lcc WinHTTP/1.0";
constexpr const char* kStatsReplyFile = "Korvex.html";
constexpr long kMaxBodyBytes = 4L * 1024 * 1024;

// The files, relative to the program's own directory.
constexpr const char* kSettingsPath = "pelmora.ini";
constexpr const char* kClientConfigPath = "../client.cfg";
constexpr const char* kUnitFilePath = "../unitinfo.txt";
constexpr const char* kDatabasePath = "database.txt";
constexpr const char* kLogPath = "pelmora_log.txt";

} // namespace pelmora
