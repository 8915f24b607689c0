#pragma once
// pelmora-bridge: reads a current Folding@home client (version 7 or 8) and
// keeps the monitor's unit file (and, if asked, its project table) up to date.
//
// The rooms: the clients' messages (messages.h), what a client has
// (client_table.h: --list and a --group or --gpu it lacks), the unit chosen and its
// facts (unit_choice.h), the version 6 unit file (unitinfo_writer.h), the
// project table (project_table.h), following a client over its connections
// (follower.h, v7_client.cpp), the local times of the log and the unit
// file (local_time.h). What needs a library or the operating system
// beyond the platform's services is in bridge/io/: the version 8 connection
// (v8_client.h), the command line (options.h) and main.
#include "bridge/client_table.h"
#include "bridge/follower.h"
#include "bridge/local_time.h"
#include "bridge/messages.h"
#include "bridge/project_table.h"
#include "bridge/unit_choice.h"
#include "bridge/unitinfo_writer.h"
