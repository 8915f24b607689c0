// The PostgreSQL store's schema: made once, at its newest version, by
// whichever server gets there first when several start together.
#pragma once

#include "server/store/postgres/connection.h"

namespace pelmora::server {

// Brings the database's schema up to date, under an advisory lock held
// until its transaction ends. Throws StoreError, also when the database has
// a newer schema than this server knows.
void migratePostgres(PgConnection& c);

} // namespace pelmora::server
