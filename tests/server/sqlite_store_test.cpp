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
