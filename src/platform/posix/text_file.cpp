// Text files as Windows reads them: each CR that stands right before an LF is
// dropped while the file is read, so a client directory copied from Windows
// reads exactly like one written here. A lone CR stays.
#include "platform/system.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelmora {

namespace {
struct CrLfReader {
    int fd;
    char raw[4096];
    size_t position;
    size_t length;
};

// Refills the raw buffer; false at the end of the file or on an error.
bool refill(CrLfReader& reader, bool& failed)
{
    ssize_t got;
    do got = ::read(reader.fd, reader.raw, sizeof reader.raw);
    while (got < 0 && errno == EINTR);
    failed = got < 0;
    reader.position = 0;
    reader.length = got > 0 ? static_cast<size_t>(got) : 0;
    return got > 0;
}

ssize_t readStripped(void* cookie, char* out, size_t size)
{
    CrLfReader& reader = *static_cast<CrLfReader*>(cookie);
    size_t produced = 0;
    bool failed = false;
    while (produced < size) {
        // Once something is handed over, no further read: it would mostly
        // find the end of the file, which the next call finds anyway.
        if (reader.position == reader.length && (produced > 0 || !refill(reader, failed))) break;
        // Everything up to the next CR goes over in one copy.
        const char* from = reader.raw + reader.position;
        const size_t room = std::min(size - produced, reader.length - reader.position);
        const char* cr = static_cast<const char*>(std::memchr(from, '\r', room));
        const size_t plain = cr ? static_cast<size_t>(cr - from) : room;
        if (plain > 0) {
            std::memcpy(out + produced, from, plain);
            produced += plain;
            reader.position += plain;
            continue;
        }
        // A CR: look at the next byte, across a refill if need be.
        ++reader.position;
        if (reader.position == reader.length && !refill(reader, failed)) {
            out[produced++] = '\r';
            break;
        }
        if (reader.raw[reader.position] != '\n') out[produced++] = '\r';
    }
    if (produced == 0 && failed) return -1;
    return static_cast<ssize_t>(produced);
}

int closeReader(void* cookie)
{
    CrLfReader* reader = static_cast<CrLfReader*>(cookie);
    int result = ::close(reader->fd);
    delete reader;
    return result;
}
} // namespace

FILE* openTextFile(const char* path)
{
    int fd;
    do fd = ::open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    CrLfReader* reader = new CrLfReader{fd, {}, 0, 0};
    cookie_io_functions_t functions = {readStripped, nullptr, nullptr, closeReader};
    FILE* file = fopencookie(reader, "r", functions);
    if (!file) closeReader(reader);
    return file;
}

bool replaceFile(const char* from, const char* to) { return std::rename(from, to) == 0; }

} // namespace pelmora
