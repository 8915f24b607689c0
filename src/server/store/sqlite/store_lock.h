// A SQLite store is one server's: SQLite takes one writer at a time, so a
// second server on the file would add only waits (several servers share a
// PostgreSQL store). An exclusive lock on the database file, held for the
// server's life, refuses a second; opening the file for writing first
// refuses a store the server cannot write.
#pragma once

#include <string>

namespace pelmora::server {

class StoreLock {
public:
    StoreLock() = default;
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    // False, with ERROR saying why, when the file cannot be written or
    // another process holds the lock. Creates the file (mode 0600: it holds
    // the sign-in sessions) when missing.
    bool take(const std::string& path, std::string& error);

private:
    // Kept open until the end: closing a descriptor of the file would also
    // drop the record locks SQLite holds on it.
    int fd_ = -1;
};

} // namespace pelmora::server
