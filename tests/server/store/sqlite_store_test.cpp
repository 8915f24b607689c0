// What only the SQLite store has: its write-ahead log kept small by the
// upkeep, and its schema's version.
#include <gtest/gtest.h>

#include <filesystem>
#include <sqlite3.h>
#include <string>

#include "server/fresh_store.h"
#include "server/store/sqlite/migrations.h"

using namespace pelmora::server;

TEST(SqliteStore, FrequentUpkeepLeavesTheLogThoroughEmptiesIt)
{
    const std::string path = "sqlite_upkeep.db";
    std::unique_ptr<Store> store = freshStore(path);
    ASSERT_TRUE(store);
    for (int i = 0; i < 200; ++i) store->recordReport(record("PC" + std::to_string(i % 20), i % 100), 1000 + i);
    const auto logSize = [&] { return std::filesystem::file_size(path + "-wal"); };
    const auto burst = logSize();
    ASSERT_GT(burst, 0u);
    store->upkeep(Upkeep::frequent);
    EXPECT_EQ(logSize(), burst); // copied into the store, the file kept for the next writes
    store->upkeep(Upkeep::thorough);
    EXPECT_EQ(logSize(), 0u);
    EXPECT_EQ(store->totals().reports, 200);
}

TEST(SqliteStore, AStoreOfANewerServerIsRefused)
{
    const std::string path = "sqlite_newer.db";
    freshStore(path).reset();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string newer = "PRAGMA user_version = " + std::to_string(schemaVersion() + 1);
    EXPECT_EQ(sqlite3_exec(db, newer.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    std::string error;
    EXPECT_FALSE(openSqliteStore(path, error));
    EXPECT_NE(error.find("newer than this server's"), std::string::npos) << error;
}

// A store file as the first server wrote it (its schema's first step, one
// machine): opening it runs the later steps and keeps what it held.
TEST(SqliteStore, AStoreOfTheFirstServerOpensWithItsMachines)
{
    const std::string path = "sqlite_first.db";
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const char* first = R"(
        CREATE TABLE machines (id INTEGER PRIMARY KEY, name TEXT NOT NULL, cpu INTEGER NOT NULL,
          slot INTEGER NOT NULL, user TEXT NOT NULL, team INTEGER NOT NULL, unit TEXT NOT NULL,
          progress INTEGER NOT NULL, core TEXT NOT NULL, frames INTEGER NOT NULL, points INTEGER NOT NULL,
          units_seen INTEGER NOT NULL, cpu_mhz REAL NOT NULL, cpu_vendor TEXT NOT NULL, in_tray INTEGER NOT NULL,
          stopped INTEGER NOT NULL, first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL,
          unit_since INTEGER NOT NULL, unit_first_progress INTEGER NOT NULL, changed_at INTEGER NOT NULL,
          prev_unit TEXT NOT NULL DEFAULT '', prev_points INTEGER NOT NULL DEFAULT 0, UNIQUE (name, cpu));
        CREATE TABLE reports (machine_id INTEGER NOT NULL, at INTEGER NOT NULL, progress INTEGER NOT NULL,
          unit TEXT NOT NULL, in_tray INTEGER NOT NULL);
        CREATE INDEX reports_by_machine ON reports (machine_id, at);
        CREATE TABLE units (id INTEGER PRIMARY KEY, at INTEGER NOT NULL, user TEXT NOT NULL, team INTEGER NOT NULL,
          machine INTEGER NOT NULL, wucount INTEGER NOT NULL, cpu_vendor TEXT NOT NULL, cpu_string TEXT NOT NULL,
          cpu_mhz INTEGER NOT NULL, frame_minutes REAL NOT NULL, protein TEXT NOT NULL, core TEXT NOT NULL,
          memory_mib INTEGER NOT NULL, points INTEGER NOT NULL);
        CREATE INDEX units_by_user ON units (user);
        CREATE INDEX units_by_team ON units (team);
        CREATE TABLE commands (id INTEGER PRIMARY KEY, machine_id INTEGER NOT NULL, command TEXT NOT NULL,
          state TEXT NOT NULL, requested_at INTEGER NOT NULL, requested_by TEXT NOT NULL,
          delivered_at INTEGER, cancelled_at INTEGER, cancelled_by TEXT);
        CREATE INDEX commands_by_machine ON commands (machine_id, state);
        CREATE TABLE totals (name TEXT PRIMARY KEY, value INTEGER NOT NULL);
        INSERT INTO totals VALUES ('reports', 1);
        INSERT INTO machines VALUES (1, 'OLDPC', 1, 3, 'Fan', 42, 'p1234_R1_C2_G3', 55, '0xa8', 100, 500, 7,
          3000, 'GenuineIntel', 0, 0, 900, 1000, 900, 50, 1000, '', 0);
        PRAGMA user_version = 1;)";
    ASSERT_EQ(sqlite3_exec(db, first, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);

    std::string error;
    std::unique_ptr<Store> store = openSqliteStore(path, error);
    ASSERT_TRUE(store) << error;
    const std::vector<MachineRow> machines = store->machines();
    ASSERT_EQ(machines.size(), 1u);
    EXPECT_EQ(machines[0].name, "OLDPC");
    EXPECT_EQ(machines[0].progress, 55);
    EXPECT_EQ(store->heldSlots(), (std::vector<int>{3}));
    // It goes on as a store of today: the machine's next report is its own.
    EXPECT_EQ(store->recordReport(record("OLDPC", 60), 1100).machineId, 1);
}

// Opening the store takes its file's lock, and closing it lets go of it.
TEST(SqliteStore, OneOpenAStoreFileAtATime)
{
    const std::string path = "sqlite_locked.db";
    std::unique_ptr<Store> first = freshStore(path);
    ASSERT_TRUE(first);
    std::string error;
    EXPECT_FALSE(openSqliteStore(path, error));
    EXPECT_NE(error.find("is in use by another pelmora-server"), std::string::npos) << error;
    first.reset();
    EXPECT_TRUE(openSqliteStore(path, error)) << error;
}
