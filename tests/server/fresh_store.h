// What the server's tests start from: a store on an empty file, and a
// monitor's record of a machine.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "server/store.h"

namespace pelmora_server {
inline std::unique_ptr<Store> freshStore(const std::string& path)
{
    std::remove(path.c_str());
    std::remove((path + "-wal").c_str());
    std::string error;
    std::unique_ptr<Store> store = Store::open(path, error);
    if (!store) ADD_FAILURE() << path << ": " << error;
    return store;
}

inline MonitorRecord record(const std::string& name, int progress = 10, bool exiting = false)
{
    MonitorRecord r;
    r.computerName = name;
    r.cpu = 1;
    r.slot = 5;
    r.progress = progress;
    r.unit = "p1234_R1_C2_G3";
    r.exiting = exiting;
    return r;
}
} // namespace pelmora_server
