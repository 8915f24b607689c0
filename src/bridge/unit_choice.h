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

// The units a bridge may follow.
struct Wanted {
    std::string group;     // v8: the group ("" the default one)
    bool anyGroup = false; // v8: the group does not matter (--gpu without --group)
    UnitKind kind = UnitKind::Any;
    std::string gpu;       // v8: "" any; else only units whose "gpus" hold it
    int slot = -1;         // v7: < 0 every slot
};

// Picks the unit to follow out of a v8 state and reads its facts. A unit
// once followed (followed: its id) is kept to while the client lists it in a
// state before its end, wherever it moved in the list or between groups: the
// client reorders its list, and leaving a unit that still runs would have
// the monitor report it finished. Otherwise the first wanted unit running,
// else the next to run, becomes the followed one once it is assigned. False
// when there is none, or it is not assigned yet (no project, run, clone and
// gen).
bool chooseV8Unit(const Json& state, const Wanted& wanted, std::string& followed, UnitFacts& facts);
// The same for a v7 queue-info list (a unit's id is its "unit").
bool chooseV7Unit(const Json& units, int slot, std::string& followed, UnitFacts& facts);

// "2025-01-05T08:40:03Z" (UTC) as calendar time; 0 when it is not one.
time_t parseUtc(const std::string& text);

// The unit file of a version 6 client for these facts, times in local time.
std::string unitFileText(const UnitFacts& facts);

} // namespace pelmora::bridge
