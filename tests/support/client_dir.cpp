#include "support/client_dir.h"

#include <atomic>
#include <random>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "state/monitor_state.h"
#include "support/test_platform.h"

namespace pelmora {

namespace fs = std::filesystem;

namespace {
// Under /dev/shm where there is one: the fuzz targets write a file a run.
fs::path uniqueRoot()
{
    static std::atomic<int> counter{0};
    std::error_code error;
    fs::path base = fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
    return base / ("pelmora-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
}
} // namespace

ClientDir::ClientDir()
{
    resetMonitorState();
    resetTestPlatform();
    previous_ = fs::current_path().string();
    const fs::path root = uniqueRoot();
    fs::remove_all(root);
    fs::create_directories(root / "client" / "pelmora");
    root_ = root.string();
    fs::current_path(root / "client" / "pelmora");
}

ClientDir::~ClientDir()
{
    if (state.input) fclose(state.input);
    if (state.logFile) fclose(state.logFile);
    resetMonitorState();
    resetTestPlatform();
    fs::current_path(previous_);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void ClientDir::write(const std::string& path, const std::string& bytes) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << bytes;
}

bool ClientDir::exists(const std::string& path) const { return fs::exists(path); }

void ClientDir::remove(const std::string& path) const { fs::remove_all(path); }

std::string ClientDir::readBytes(const std::string& path) const
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string ClientDir::readText(const std::string& path) const
{
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
        std::fclose(f);
    }
    return text;
}

void ClientDir::copyDemo() const
{
    // File by file: a recursive fs::copy onto an existing directory reports
    // "file exists" with the Windows run-time.
    const fs::path from = fs::path(PELMORA_SOURCE_DIR) / "demo";
    const fs::path to = fs::path(root_) / "client";
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(from)) {
        const fs::path target = to / fs::relative(entry.path(), from);
        if (entry.is_directory())
            fs::create_directories(target);
        else
            fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
    }
}

std::string unitFileText(const char* name, int progress)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "Current Work Unit\n-----------------\nName: %s\nTag: P2665R3C48G217\n"
                  "Download time: March 3 08:14:52\nDue time: March 17 08:14:52\n"
                  "Progress: %d%%  [||||______]\n",
                  name, progress);
    return text;
}

} // namespace pelmora
