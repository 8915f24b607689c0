// The statements of admission on a monitor's exchange (a waiting identity's
// record, a pinned machine's refused sender), prepared once on the writer.
#pragma once

#include "server/store/sqlite/sqlite_store.h"
#include "server/store/sqlite/statement.h"

namespace pelmora::server {

struct SqliteStore::Admission {
    explicit Admission(sqlite3* db)
        : findWaiting(db, "SELECT id, address FROM waiting WHERE name = :name AND cpu = :cpu"),
          // A waiting row is its first sender's: only its records move it.
          touchWaiting(db, "UPDATE waiting SET user = :user, team = :team, unit = :unit, address = :address,"
                           " last_seen = :now WHERE id = :id"),
          // Another sender of its name is only noted, at most once in
          // kNoteEverySeconds (exchange_rule.h): :due_up_to is notesReplaceableUpTo.
          noteOtherSender(db, "UPDATE waiting SET other_address = :address, other_at = :now"
                              " WHERE id = :id AND other_at <= :due_up_to"),
          insertWaiting(db, "INSERT INTO waiting (name, cpu, user, team, unit, address, first_seen, last_seen)"
                            " VALUES (:name, :cpu, :user, :team, :unit, :address, :now, :now)"),
          // At the bound, one row of the address holding the most goes (the
          // least recently seen of its rows; of two addresses holding as many,
          // the one seen least recently): an address inventing names churns
          // its own rows, never those of a machine that keeps reporting. On
          // the index by address, a scan of its entries.
          dropOneWaiting(db, "DELETE FROM waiting WHERE id = (SELECT id FROM waiting WHERE address ="
                             " (SELECT address FROM waiting GROUP BY address ORDER BY count(*) DESC, min(last_seen)"
                             " LIMIT 1) ORDER BY last_seen, id LIMIT 1)"),
          // When it is due (exchange_rule.h, noteRefused).
          noteRefused(db, "UPDATE machines SET refused_address = :address, refused_at = :now WHERE id = :id"),
          countWaiting(db, "SELECT count(*) FROM waiting")
    {
    }
    Statement findWaiting, touchWaiting, noteOtherSender, insertWaiting, dropOneWaiting, noteRefused, countWaiting;
};

} // namespace pelmora::server
