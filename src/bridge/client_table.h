#pragma once
// What a client has, for the user: the table --list prints, and the line
// that says a --group or --gpu asked for is not among the client's.
#include <string>

#include "bridge/messages.h"
#include "bridge/unit_choice.h"

namespace pelmora::bridge {

// A version 8 state's groups, GPUs and units (group, kind, GPU ids, state,
// progress, project, due time in local time), a line each.
std::string v8Table(const Json& state);
// A version 7 queue-info list's units, with their slots.
std::string v7Table(const Json& units);

// "" when the state has the group and GPU wanted; else the line saying
// which is missing and what the client has.
std::string missingFromClient(const Json& state, const Wanted& wanted);

} // namespace pelmora::bridge
