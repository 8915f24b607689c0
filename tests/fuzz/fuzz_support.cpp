#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {
std::string scratchRoot;

void removeScratch()
{
    std::error_code ignored;
    if (!scratchRoot.empty()) std::filesystem::remove_all(scratchRoot, ignored);
}
} // namespace

void enterScratchClientDir()
{
    if (!scratchRoot.empty()) return;
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/pelmora-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    scratchRoot = pattern;
    std::filesystem::create_directories(scratchRoot + "/client/pelmora");
    if (chdir((scratchRoot + "/client/pelmora").c_str()) != 0) {
        std::perror("chdir");
        std::abort();
    }
    std::atexit(removeScratch);
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
