#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>

#include "support/client_dir.h"

namespace pelmora {

void enterScratchClientDir()
{
    static ClientDir dir;
}

void writeScratchFile(const char* path, const uint8_t* data, size_t size)
{
    FILE* file = std::fopen(path, "wb");
    if (!file) {
        std::perror(path);
        std::abort();
    }
    if (size) std::fwrite(data, 1, size, file);
    std::fclose(file);
}

void writeScratchFile(const char* path, const std::string& bytes)
{
    writeScratchFile(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void removeScratchFile(const char* path) { std::remove(path); }

} // namespace pelmora
