#pragma once
// The unit to follow out of a client's units, and what the monitor is told
// of it.
#include <ctime>
#include <string>

#include "bridge/messages.h"

namespace pelmora::bridge {

// What the unit file and the project record are made of.
struct UnitFacts {
    long long project = 0, run = 0, clone = 0, gen = 0;
    time_t assigned = 0;    // 0: unknown
    time_t due = 0;         // 0: unknown (no due line)
    int percent = 0;        // whole percent, 0..100
    long long frames = 0;   // 0: the client gives no frame count
    double points = -1;     // base points; < 0: unknown
    std::string core;       // "" : unknown
    std::string server;     // the work server, "" when unknown
};

// Which units a bridge follows: a version 8 group commonly runs a CPU unit
// and a GPU unit (one with a non-empty "gpus" list) at once, and each kind
// then has a monitor of its own.
enum class UnitKind { Any, Cpu, Gpu };

// Picks the unit to follow out of a v8 state's units of kind in group
// (running first, else the next to run) and reads its facts. False when
// there is none, or it is not assigned yet (no project, run, clone and gen).
bool chooseV8Unit(const Json& state, const std::string& group, UnitFacts& facts, UnitKind kind = UnitKind::Any);
// The same for a v7 queue-info list; slot < 0 takes every slot.
bool chooseV7Unit(const Json& units, int slot, UnitFacts& facts);

// "2025-01-05T08:40:03Z" (UTC) as calendar time; 0 when it is not one.
time_t parseUtc(const std::string& text);

// The unit file of a version 6 client for these facts, times in local time.
std::string unitFileText(const UnitFacts& facts);

} // namespace pelmora::bridge
