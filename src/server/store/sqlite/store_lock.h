// The store is one server's: two on one database would each miss the
// other's writes. An exclusive lock on the database file, held for the
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
