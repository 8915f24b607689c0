// The store's schema, built step by step: the database's user_version says
// how many steps have run. Steps are only ever added at the end, and one
// that has shipped is never changed, so every older store file still opens.
#pragma once

struct sqlite3;

namespace pelmora::server {

// Runs the steps the database has not had, each in a transaction of its
// own. Throws StoreError for a store made by a newer server.
void migrate(sqlite3* db);
int schemaVersion(); // the number of steps
} // namespace pelmora::server
