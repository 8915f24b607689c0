// Every limit and period of the server, in one place: the defaults of the
// command line (pelmora-server --help shows them, options.cpp takes them from
// here) and of the structs that carry the settings to the listeners, the
// status and the webhook; then the fixed ones, each room's under its heading.
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
inline constexpr std::size_t kLargestBody = 16 * 1024;

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
// Finished units kept while the store cannot be reached, in count and in
// bytes; past either the stats site answers 503. Each machine's latest
// report is kept too, at most --max-machines of them (this when no cap).
inline constexpr long long kHeldUnits = 10000;
inline constexpr long long kHeldUnitBytes = 4LL << 20;
inline constexpr const char* kAdmission = "open"; // or "approve": new identities wait for the admin
inline constexpr long long kMaxWaiting = 1000;     // waiting identities kept (store/rows.h, ExchangeRules)

// The webhook.
inline constexpr int kWebhookTimeoutSeconds = 10; // the whole post: connect, send, answer
inline constexpr int kWebhookBurstPerMinute = 10; // posts, then summaries
inline constexpr int kWebhookFirstRetryMilliseconds = 1000;    // then doubled after each failure
inline constexpr int kWebhookLongestRetryMilliseconds = 300000;
inline constexpr int kWebhookIdleMilliseconds = 1000; // between looks at the store when nothing is due
inline constexpr int kWebhookWindowMilliseconds = 60000; // the burst's minute

// The wiring's workers: the store's frequent upkeep (small and frequent keeps
// each flush to disk short), the fleet's changes sent to the event streams,
// and the hourly pruning of the history and the alerts.
inline constexpr int kUpkeepMilliseconds = 250;
inline constexpr int kFleetPublishMilliseconds = 500; // a whole number of upkeep steps
inline constexpr long long kPruneEverySeconds = 3600;
// The points history: days kept (and the most one answer gives) of the
// hourly estimates and the finished units' points; each machine's last
// status changes kept, and for how long.
inline constexpr int kPointsDays = 40;
inline constexpr int kStatusEventsKept = 200;
inline constexpr int kStatusEventDays = 90;
// Memory blocks this large and over are mapped apart, and given back when freed.
inline constexpr std::size_t kOwnMemoryFromBytes = 256 * 1024;

// Fixed limits and periods, by room.

// support/log.h: a repeated line at most once a window; noise shares a
// budget, the trace another, its lines left out summed up at most so often.
inline constexpr long long kLogRepeatWindowMilliseconds = 60000;
inline constexpr double kLogNoisePerSecond = 2, kLogNoiseBurst = 2;
inline constexpr double kLogTracePerSecond = 1, kLogTraceBurst = 1;
inline constexpr long long kLogTraceSummaryMilliseconds = 10000;
// What peers' accepted input did (a unit stored, a machine added): every
// line while the budget lasts, then counted and summed up like the trace.
inline constexpr double kLogAcceptedPerSecond = 2, kLogAcceptedBurst = 20;
inline constexpr std::size_t kLogMostSubjects = 4096; // the least recently seen is forgotten
// support/shared_text.h: answers this large and over are made at most once
// per kBigAnswerSeconds, and kept made ahead while asked for in the last
// kAheadSeconds.
inline constexpr std::size_t kFreshBelowBytes = 256 * 1024;
inline constexpr int kBigAnswerSeconds = 1;
inline constexpr int kAheadSeconds = 5;

// http/http_parsing.h: a request's head.
inline constexpr std::size_t kLongestRequestLine = 8 * 1024;
inline constexpr std::size_t kLongestHeaderLine = 8 * 1024;
inline constexpr std::size_t kMostHeaderLines = 100;
inline constexpr std::size_t kLargestHead = 16 * 1024;
// The head and whatever came with it in the same reads; chunk lines and
// trailers must fit in it too.
inline constexpr std::size_t kReadBufferLimit = kLargestHead + 16 * 1024;
// http/http_listener.*: each phase's deadline, the connection's requests, the threads.
inline constexpr int kHeadSeconds = 10, kIdleSeconds = 5, kBodySeconds = 10, kWriteSeconds = 10;
inline constexpr int kMostRequestsPerConnection = 100;
inline constexpr int kHttpThreads = 3;
inline constexpr int kEventPollMilliseconds = 250;
inline constexpr int kMostRefusals = 64;            // 503s being written at once; past that a refused one just closes
inline constexpr int kStopGraceMilliseconds = 1500; // for the requests under way when stopping
inline constexpr std::size_t kMostDrained = 4096;   // read after the answer before closing, so it is not reset
inline constexpr int kDrainMilliseconds = 500;
inline constexpr int kBudgetPollMilliseconds = 50; // a request waiting for the answer budget looks again
inline constexpr int kWindDownPollMilliseconds = 20; // a stopping listener looks whether its requests are done
// Both listeners, out of descriptors: the next accept after this pause.
inline constexpr int kAcceptRetryMilliseconds = 10;

// monitor/: the whole exchange, slot byte to command byte; after a stop, the
// exchanges under way have kFinishMilliseconds to finish. A unit query's texts.
inline constexpr int kExchangeSeconds = 10;
inline constexpr int kFinishMilliseconds = 1500;
inline constexpr std::size_t kLongestQueryText = 128;

// fleet/: the event streams' messages kept (and their bytes: the newest is
// always kept), machines forgotten in one short transaction, history rows
// thinned a pass, alert lines logged at once, the alert engine's look.
inline constexpr std::size_t kMessagesKept = 64;
inline constexpr std::size_t kMessageBytesKept = 4 * 1024 * 1024;
inline constexpr int kForgottenAtOnce = 500;
inline constexpr int kThinnedAtOnce = 4000;
inline constexpr std::size_t kAlertsLoggedAtOnce = 20; // then one line for the rest
inline constexpr int kAlertLookMilliseconds = 1000;
// The lease on the team's duties, renewed a few times within its length, so
// that another server takes them within 15 s of the leader's death.
inline constexpr int kLeaseSeconds = 10;
inline constexpr int kLeaseRenewMilliseconds = 2500;
// A webhook event's claim outlasts its post's whole deadline by this much:
// time to mark it sent, while a leader's death holds the next one up little.
inline constexpr int kWebhookClaimMarginMilliseconds = 2000;
// The webhook's answer: its head, and the part of its body read.
inline constexpr std::size_t kLargestAnswerHead = 16 * 1024;
inline constexpr std::size_t kAnswerBodyRead = 4 * 1024; // the rest is never read
inline constexpr int kMostInSummary = 10000;             // more wait for the next post
inline constexpr std::size_t kListedInSummary = 20;

// api/: sessions (an admin's lasts a working day; a viewer's a month), the
// event stream's keep-alive, and the sign-in throttle: free wrong tokens,
// the longest wait, an address forgotten, the addresses followed.
inline constexpr long long kAdminSessionSeconds = 12 * 3600;
inline constexpr long long kViewerSessionSeconds = 30 * 86400;
// A quiet event stream pings this often; the pages take 20 s of silence
// (four pings) for a server that hangs.
inline constexpr int kPingSeconds = 5;
inline constexpr int kFreeFailures = 5;
inline constexpr int kLongestWaitSeconds = 60;
inline constexpr int kForgetFailuresMinutes = 15;
inline constexpr std::size_t kMostThrottledAddresses = 4096;

} // namespace pelmora::server::defaults
