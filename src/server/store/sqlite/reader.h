// A reader connection borrowed from the store's pool, given back on destruction.
#pragma once

#include <mutex>
#include <sqlite3.h>

#include "server/store/sqlite/sqlite_store.h"

namespace pelmora::server {

class SqliteStore::Reader {
public:
    Reader(SqliteStore& store, sqlite3* db) : store_(store), db_(db) {}
    ~Reader()
    {
        std::lock_guard<std::mutex> lock(store_.readersMutex_);
        store_.idleReaders_.push_back(db_);
    }
    sqlite3* db() const { return db_; }

private:
    SqliteStore& store_;
    sqlite3* db_;
};

} // namespace pelmora::server
