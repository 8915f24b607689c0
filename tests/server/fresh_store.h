// What the server's tests start from: a store on an empty file, and a
// monitor's record of a machine. The store's own tests run against each kind
// of store (StoreKind); the other tests take the SQLite one.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "server/postgres_cluster.h"
#include "server/store/postgres/postgres_store.h"
#include "server/store/sqlite/sqlite_store.h"

namespace pelmora::server {
// A kind of store the tests can open at PLACE: EMPTY, or as the last one
// there left it (a restart).
struct StoreKind {
    const char* name;
    std::unique_ptr<Store> (*open)(const std::string& place, bool empty);
    // One more store object on the store open at PLACE, as a second server's.
    std::unique_ptr<Store> (*openBeside)(const std::string& place);
};

inline std::unique_ptr<Store> openSqliteForTest(const std::string& path, bool empty)
{
    if (empty) {
        std::remove(path.c_str());
        std::remove((path + "-wal").c_str());
    }
    std::string error;
    std::unique_ptr<Store> store = openSqliteStore(path, error);
    if (!store) ADD_FAILURE() << path << ": " << error;
    return store;
}
inline std::unique_ptr<Store> openSqliteBeside(const std::string& path)
{
    std::string error;
    std::unique_ptr<Store> store = openSqliteStore(path, error, true);
    if (!store) ADD_FAILURE() << path << ": " << error;
    return store;
}
constexpr StoreKind kSqliteStore{"Sqlite", openSqliteForTest, openSqliteBeside};

// PLACE names a database of the test cluster (postgres_cluster.h).
inline std::unique_ptr<Store> openPostgresForTest(const std::string& place, bool empty)
{
    std::string error;
    PostgresCluster* cluster = PostgresCluster::get(error);
    std::unique_ptr<Store> store = cluster ? openPostgresStore(cluster->database(place, empty), error) : nullptr;
    if (!store) ADD_FAILURE() << place << ": " << error;
    return store;
}
inline std::unique_ptr<Store> openPostgresBeside(const std::string& place) { return openPostgresForTest(place, false); }
constexpr StoreKind kPostgresStore{"Postgres", openPostgresForTest, openPostgresBeside};

// The kinds the store's tests run against: a new kind of store is one more
// value here. With storeKindName, each test's name ends in its kind's.
// PostgreSQL's when its programs are installed; PostgresStore.ProgramsInstalled
// says, skipped, when they are not.
inline std::vector<StoreKind> storeKinds()
{
    std::string why;
    if (PostgresCluster::programs(why).empty()) return {kSqliteStore};
    return {kSqliteStore, kPostgresStore};
}
inline const auto kStoreKinds = testing::ValuesIn(storeKinds());
inline std::string storeKindName(const testing::TestParamInfo<StoreKind>& info) { return info.param.name; }

inline std::unique_ptr<Store> freshStore(const std::string& path) { return kSqliteStore.open(path, true); }

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
} // namespace pelmora::server
