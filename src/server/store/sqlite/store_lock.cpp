#include "server/store/sqlite/store_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace pelmora::server {

StoreLock::~StoreLock()
{
    if (fd_ >= 0) ::close(fd_);
}

bool StoreLock::take(const std::string& path, std::string& error)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error = "the store " + path + " cannot be written: " + std::strerror(errno);
        return false;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK
                    ? "the store " + path + " is in use by another pelmora-server (it holds the store's lock); "
                      "stop that one, or give this one another --db"
                    : "cannot lock the store " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace pelmora::server
