#include "server/support/admin_token.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelmora::server {

bool readToken(const std::string& path, std::string& token, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the token file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    std::getline(in, line);
    const char* space = " \t\r\n\v\f";
    const std::size_t first = line.find_first_not_of(space);
    token = first == std::string::npos ? "" : line.substr(first, line.find_last_not_of(space) - first + 1);
    if (token.empty()) {
        error = "the token file " + path + " has an empty first line";
        return false;
    }
    if (token.size() < kShortestToken) {
        error = "the token in " + path + " has " + std::to_string(token.size()) + " characters; at least " +
                std::to_string(kShortestToken) + " are needed (a random one: head -c 24 /dev/urandom | base64)";
        return false;
    }
    return true;
}

bool readableByOthers(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

bool randomHex(std::size_t bytes, std::string& text)
{
    unsigned char random[64];
    if (bytes > sizeof random || getrandom(random, bytes, 0) != static_cast<ssize_t>(bytes)) return false;
    static const char kHex[] = "0123456789abcdef";
    text.clear();
    for (std::size_t i = 0; i < bytes; ++i) {
        text += kHex[random[i] >> 4];
        text += kHex[random[i] & 15];
    }
    return true;
}

bool writeTokenFile(const std::string& path, const std::string& token, std::string& error)
{
    // Written beside it and renamed over it: a reader never sees half a
    // token. Named by the process: servers in one folder may write at once.
    const std::string partial = path + ".new" + std::to_string(::getpid());
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    const std::string line = token + "\n";
    if (fd < 0 || ::fchmod(fd, 0600) != 0 ||
        ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) || ::close(fd) != 0 ||
        ::rename(partial.c_str(), path.c_str()) != 0) {
        error = "cannot write the admin token to " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::unlink(partial.c_str());
        return false;
    }
    return true;
}

bool loadAdminToken(const std::string& tokenFile, const std::string& madeFile, std::string& token,
                    std::string& usedPath, bool& created, std::string& error)
{
    created = false;
    usedPath = tokenFile.empty() ? madeFile : tokenFile;
    if (!tokenFile.empty() || access(usedPath.c_str(), F_OK) == 0) return readToken(usedPath, token, error);

    if (!randomHex(32, token)) {
        error = std::string("no random bytes for the admin token: ") + std::strerror(errno);
        return false;
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

} // namespace pelmora::server
