// Moving a team from SQLite to PostgreSQL: every row of a SQLite store
// copied into an empty PostgreSQL database in one transaction, ids and
// counters kept, so a server started on the database carries on where the
// one on the file stopped.
#pragma once

#include <string>
#include <vector>

namespace pelmora::server {

struct CopiedTable {
    std::string table;
    long long rows = 0;
};

// Copies the SQLite store at FROM into the PostgreSQL database at URI TO.
// FROM is opened as the server opens it: locked (a store in use by a
// server is refused) and brought up to this server's schema first. The
// database must hold no rows yet; on any fault nothing is left in it.
// False with ERROR, a whole sentence that never repeats the URI (it may
// hold a password).
bool copyStore(const std::string& from, const std::string& to, std::vector<CopiedTable>& copied,
               std::string& error);

} // namespace pelmora::server
