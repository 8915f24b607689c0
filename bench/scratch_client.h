#pragma once
// A throw-away client directory for the benchmarks and the soak run:
// <tmp>/client/ holds the client's files and <tmp>/client/pelmora/ is the
// current directory while it lives, as when the program is installed.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

class ScratchClient {
public:
    ScratchClient()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pelmora-bench-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::exit(2);
        }
        root_ = pattern;
        previous_ = std::filesystem::current_path();
        std::filesystem::create_directories(root_ / "client" / "pelmora");
        std::filesystem::current_path(root_ / "client" / "pelmora");
    }
    ~ScratchClient()
    {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(root_, ignored);
    }
    ScratchClient(const ScratchClient&) = delete;
    ScratchClient& operator=(const ScratchClient&) = delete;

    // path is relative to the program's directory: "../unitinfo.txt".
    static void write(const char* path, const std::string& bytes)
    {
        FILE* file = std::fopen(path, "wb");
        if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0) {
            std::perror(path);
            std::exit(2);
        }
    }

private:
    std::filesystem::path root_;
    std::filesystem::path previous_;
};

// A unit file as the client writes it.
inline std::string unitFileText(const char* name, int progress)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "Current Work Unit\n"
                  "-----------------\n"
                  "Name: %s\n"
                  "Tag: P2665R3C48G217\n"
                  "Download time: March 3 08:14:52\n"
                  "Due time: March 17 08:14:52\n"
                  "Progress: %d%%  [||||______]\n",
                  name, progress);
    return text;
}
