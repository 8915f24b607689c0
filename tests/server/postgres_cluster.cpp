#include "server/postgres_cluster.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <glob.h>
#include <memory>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "server/store/postgres/connection.h"

namespace pelmora::server {

std::string PostgresCluster::programs(std::string& why)
{
    if (const char* given = std::getenv("PELMORA_PG_BIN"))
        return access((std::string(given) + "/pg_ctl").c_str(), X_OK) == 0 ? given : (why = "no pg_ctl in " + std::string(given), "");
    glob_t found{};
    std::string newest;
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
        std::vector<std::string> paths(found.gl_pathv, found.gl_pathv + found.gl_pathc);
        std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
            return std::atoi(a.c_str() + 20) < std::atoi(b.c_str() + 20); // after /usr/lib/postgresql/
        });
        newest = paths.back().substr(0, paths.back().size() - 7);
    }
    globfree(&found);
    if (newest.empty()) why = "PostgreSQL's programs are not installed (no /usr/lib/postgresql/*/bin/initdb;"
                              " Debian's postgresql package, or PELMORA_PG_BIN)";
    return newest;
}

// Clusters a test program that crashed left: their owner's pid is gone, an hour since.
void PostgresCluster::removeAbandoned() const
{
    glob_t found{};
    if (glob("/tmp/pelmora-pg-*/owner", 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
            std::ifstream owner(found.gl_pathv[i]);
            int pid = 0;
            // An hour old too: a pid seen from another pid namespace may look gone.
            struct stat made {};
            if (stat(found.gl_pathv[i], &made) != 0 || std::time(nullptr) - made.st_mtime < 3600) continue;
            if (!(owner >> pid) || pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH) continue;
            const std::string folder = std::string(found.gl_pathv[i]).substr(0, std::strlen(found.gl_pathv[i]) - 6);
            std::system((asUser_ + bin_ + "/pg_ctl -D " + folder + "/data -m immediate -w stop >/dev/null 2>&1").c_str());
            std::system(("rm -rf " + folder).c_str());
        }
    }
    globfree(&found);
}

PostgresCluster* PostgresCluster::get(std::string& why)
{
    static std::string failed;
    static std::unique_ptr<PostgresCluster> cluster = [&]() -> std::unique_ptr<PostgresCluster> {
        std::unique_ptr<PostgresCluster> c(new PostgresCluster());
        c->owner_ = getpid();
        c->bin_ = programs(failed);
        if (c->bin_.empty()) return nullptr;
        char scratch[] = "/tmp/pelmora-pg-XXXXXX";
        if (!mkdtemp(scratch)) return failed = "cannot make a scratch folder", nullptr;
        c->scratch_ = scratch;
        std::ofstream(c->scratch_ + "/owner") << c->owner_ << "\n";
        if (geteuid() == 0) { // PostgreSQL refuses root: its files and programs are nobody's
            const passwd* nobody = getpwnam("nobody");
            if (!nobody || chown(scratch, nobody->pw_uid, nobody->pw_gid) != 0)
                return failed = "cannot give the scratch folder to nobody", nullptr;
            c->asUser_ = "runuser -u nobody -- ";
        }
        c->removeAbandoned();
        if (!c->run("initdb -D " + c->scratch_ + "/data -U pelmora --auth=trust -E UTF8 --no-locale", failed) ||
            !c->start(failed))
            return nullptr;
        return c;
    }();
    why = failed;
    return cluster.get();
}

bool PostgresCluster::run(const std::string& command, std::string& why) const
{
    const std::string log = scratch_ + "/command.log";
    const std::string line = asUser_ + bin_ + "/" + command + " >" + log + " 2>&1";
    if (std::system(line.c_str()) == 0) return true;
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    why = line + " failed: " + text.str();
    return false;
}

bool PostgresCluster::start(std::string& why)
{
    // A Unix socket in the scratch folder, no TCP; nothing kept past a crash of the machine.
    return run("pg_ctl -D " + scratch_ + "/data -l " + scratch_ + "/server.log -w -t 60 -o \"-k " + scratch_ +
                   " -c listen_addresses='' -c fsync=off -c synchronous_commit=off\" start",
               why);
}

bool PostgresCluster::stop(std::string& why) { return run("pg_ctl -D " + scratch_ + "/data -m fast -w stop", why); }

std::string PostgresCluster::database(const std::string& name, bool empty)
{
    std::string db = "t_";
    for (const char c : name) db += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
    const std::string host = "?host=" + scratch_ + "&user=pelmora";
    if (empty) {
        PgConnection admin("postgresql:///postgres" + host, {});
        // A name made above of letters, digits and '_': identifiers cannot be bound.
        admin.execute(("DROP DATABASE IF EXISTS " + db + " WITH (FORCE)").c_str());
        admin.execute(("CREATE DATABASE " + db).c_str());
    }
    return "postgresql:///" + db + host;
}

PostgresCluster::~PostgresCluster()
{
    if (getpid() != owner_) return; // a child of a test: the cluster is its parent's
    std::string why;
    run("pg_ctl -D " + scratch_ + "/data -m immediate -w stop", why);
    std::system(("rm -rf " + scratch_).c_str());
}

} // namespace pelmora::server
