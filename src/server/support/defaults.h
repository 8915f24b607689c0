// Every default the server starts with, in one place: those of the command
// line (pelmora-server --help shows them) and of the structs that carry the
// settings to the listeners, the status and the webhook.
#pragma once

#include <cstddef>

namespace pelmora::server::defaults {

// The store and the HTTP listener.
inline constexpr const char* kStoreFile = "pelmora-server.db";
inline constexpr const char* kListenAddress = "0.0.0.0";
inline constexpr int kHttpPort = 8080;
inline constexpr const char* kLogLevel = "info";

// A machine's status and its history.
inline constexpr long kOfflineAfterSeconds = 900;
inline constexpr long kStallAfterSeconds = 3600;
inline constexpr int kKeepDays = 30;
inline constexpr long kHistoryResolutionSeconds = 10; // at most two history rows a machine in such a step
inline constexpr long long kMaxStoreBytes = 4LL << 30; // past it the oldest history is thinned

// Each listener's connections, and the HTTP listener's event streams and bodies.
inline constexpr int kMaxConnections = 1024;
inline constexpr int kMaxConnectionsPerAddress = 64;
inline constexpr int kMaxEventStreams = 32;
inline constexpr int kMaxEventStreamsPerAddress = 8;
inline constexpr std::size_t kLargestBodyBytes = 16 * 1024;

// Answers being written (http/answer_budget.h): their bytes overall and per
// source address; a request past either waits up to kAnswerWaitMilliseconds
// for room, then gets 503. And the memory the shared big answers may hold
// (shared_text.h) before a new one is made instead of sending the kept one.
inline constexpr std::size_t kAnswerBytes = 512 * 1024 * 1024;
inline constexpr std::size_t kAnswerBytesPerAddress = 64 * 1024 * 1024;
inline constexpr int kAnswerWaitMilliseconds = 1000;
inline constexpr std::size_t kSharedAnswerBytes = 96 * 1024 * 1024;

// The fleet's bounds.
inline constexpr long long kMaxMachines = 10000;
inline constexpr int kForgetAfterDays = 90; // 0: never
inline constexpr bool kPinAddresses = false;
inline constexpr int kHistoryMaxRows = 10000; // reports in one history answer
inline constexpr int kHistoryMaxDays = 31;    // the span one history answer may ask for
inline constexpr int kNewMachinesPerHour = 100; // per source address
inline constexpr int kUnitsPerHour = 120;       // per source address
inline constexpr const char* kAdmission = "open"; // or "approve": new identities wait for the admin
inline constexpr long long kMaxWaiting = 1000;     // waiting identities kept, the least recently seen dropped first

// The webhook.
inline constexpr int kWebhookTimeoutSeconds = 10; // the whole post: connect, send, answer
inline constexpr int kWebhookBurstPerMinute = 10; // posts, then summaries
inline constexpr int kWebhookFirstRetryMilliseconds = 1000;    // then doubled after each failure
inline constexpr int kWebhookLongestRetryMilliseconds = 300000;
inline constexpr int kWebhookIdleMilliseconds = 1000; // between looks at the store when nothing is due
inline constexpr int kWebhookWindowMilliseconds = 60000; // the burst's minute

} // namespace pelmora::server::defaults
