// The connections the SQLite store lends to sql::SqlStore.
#include "server/store/sqlite/sql_connection.h"

#include "server/store/sqlite/reader.h"

namespace pelmora::server {

void SqliteStore::readSql(const std::function<void(sql::Connection&)>& body)
{
    Reader reader = borrowReader();
    SqliteConnection c(reader.db());
    body(c);
}

void SqliteStore::writeSql(const std::function<void(sql::Connection&)>& body)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    SqliteConnection c(writer_);
    body(c);
    t.commit();
}

} // namespace pelmora::server
