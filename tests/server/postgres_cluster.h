// A real PostgreSQL cluster for the store's tests, made on first use in a
// scratch folder and removed when the test program ends: initdb and pg_ctl
// run as this user, or as nobody when the tests run as root (PostgreSQL
// refuses root), listening on a Unix socket in the scratch folder only. A
// cluster left by a test program that crashed is removed by the next one.
#pragma once

#include <string>

namespace pelmora::server {

class PostgresCluster {
public:
    // Where the server's programs are, or "" with WHY when they are not
    // there (PELMORA_PG_BIN, else the newest /usr/lib/postgresql/*/bin).
    static std::string programs(std::string& why);
    // The cluster, started at the first call; nullptr with WHY when it cannot be.
    static PostgresCluster* get(std::string& why);

    // The URI of DATABASE, made empty first when EMPTY.
    std::string database(const std::string& name, bool empty);
    // Stops the cluster and starts it again (a database restart); false with WHY.
    bool stop(std::string& why);
    bool start(std::string& why);
    ~PostgresCluster();

private:
    PostgresCluster() = default;
    bool run(const std::string& command, std::string& why) const; // as the cluster's user
    void removeAbandoned() const;
    std::string bin_, scratch_, asUser_;
    int owner_ = 0; // the process that made it, the only one that removes it
};

} // namespace pelmora::server
