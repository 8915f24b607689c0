#pragma once
// The team stats site that finished units are submitted to.

// Used when the settings name no "khost".
constexpr const char* kDefaultStatsHost = "stats.korvex.example";

// The host the submissions go to, as shown in the log.
const char* statsHostLabel();

// Submits the finished unit; the result is that of the download.
int submitUnitStats();
