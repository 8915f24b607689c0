#include "server/admin_token.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/random.h>
#include <unistd.h>

namespace pelmora_server {

bool readToken(const std::string& path, std::string& token, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the admin token file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    std::getline(in, line);
    const char* space = " \t\r\n\v\f";
    const std::size_t first = line.find_first_not_of(space);
    token = first == std::string::npos ? "" : line.substr(first, line.find_last_not_of(space) - first + 1);
    if (token.empty()) {
        error = "the admin token file " + path + " has an empty first line";
        return false;
    }
    return true;
}

bool loadAdminToken(const std::string& tokenFile, const std::string& store, std::string& token,
                    std::string& usedPath, bool& created, std::string& error)
{
    created = false;
    usedPath = tokenFile.empty() ? store + ".admin-token" : tokenFile;
    if (!tokenFile.empty() || access(usedPath.c_str(), F_OK) == 0) return readToken(usedPath, token, error);

    unsigned char random[32];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        error = std::string("no random bytes for the admin token: ") + std::strerror(errno);
        return false;
    }
    static const char kHex[] = "0123456789abcdef";
    token.clear();
    for (const unsigned char b : random) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    const int fd = ::open(usedPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const std::string line = token + "\n";
    if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) || ::close(fd) != 0) {
        error = "cannot write the admin token to " + usedPath + ": " + std::strerror(errno);
        if (fd >= 0) ::unlink(usedPath.c_str());
        return false;
    }
    created = true;
    return true;
}

} // namespace pelmora_server
