// pelmora-bridge: keeps the monitor's unit file (and project table) up to
// date from a Folding@home client of version 7 or 8.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "bridge/bridge.h"
#include "platform/platform.h"

#ifndef _WIN32
#include <csignal>
#endif

namespace {
const char* const kUsage =
    "Usage: pelmora-bridge [options]\n"
    "Keeps unitinfo.txt, as a version 6 client writes it, up to date from a\n"
    "Folding@home client of version 8 (WebSocket API) or 7 (text API).\n"
    "\n"
    "  --client v8|v7      the client's version (default v8)\n"
    "  --host ADDRESS      the client's address (default 127.0.0.1)\n"
    "  --port N            its API port (default 7396 for v8, 36330 for v7)\n"
    "  --password-file F   v7: the file holding the client's password\n"
    "  --out DIR           the directory that gets unitinfo.txt (default .)\n"
    "  --database FILE     the monitor's database.txt: new projects are added\n"
    "  --group NAME        v8: the resource group to follow (default the default group)\n"
    "  --slot N            v7: the slot to follow (default every slot)\n"
    "  --once              write the files from the first state and end:\n"
    "                      0 a unit was written, 2 there was none,\n"
    "                      1 no client (or the file could not be written)\n"
    "  --help, --version\n";

int usageError(const std::string& text)
{
    std::fprintf(stderr, "pelmora-bridge: %s\n%s", text.c_str(), kUsage);
    return 1;
}

bool wholeNumber(const char* text, int low, int high, int& out)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < low || value > high) return false;
    out = static_cast<int>(value);
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    using namespace bridge;
    Options options;
    bool groupGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--version") {
            std::printf("pelmora-bridge %s\n", PELMORA_BRIDGE_VERSION);
            return 0;
        }
        if (option == "--once") {
            options.once = true;
            continue;
        }
        if (i + 1 >= argc) return usageError("unknown option or missing value: " + option);
        const char* value = argv[++i];
        if (option == "--client") {
            options.client = value;
            if (options.client != "v8" && options.client != "v7") return usageError("--client is v8 or v7");
        } else if (option == "--host") {
            options.host = value;
        } else if (option == "--port") {
            if (!wholeNumber(value, 1, 65535, options.port)) return usageError("--port is a number from 1 to 65535");
        } else if (option == "--password-file") {
            options.passwordFile = value;
        } else if (option == "--out") {
            options.out = value;
        } else if (option == "--database") {
            options.database = value;
        } else if (option == "--group") {
            options.group = value;
            groupGiven = true;
        } else if (option == "--slot") {
            if (!wholeNumber(value, 0, 99, options.slot)) return usageError("--slot is a number from 0 to 99");
        } else {
            return usageError("unknown option: " + option);
        }
    }
    const bool v8 = options.client == "v8";
    if (v8 && (options.slot >= 0 || !options.passwordFile.empty()))
        return usageError("--slot and --password-file are for --client v7");
    if (!v8 && groupGiven) return usageError("--group is for --client v8");
    if (options.port == 0) options.port = v8 ? 7396 : 36330;

    std::string password;
    if (!options.passwordFile.empty()) {
        std::ifstream file(options.passwordFile);
        if (!file || !std::getline(file, password)) return usageError("cannot read " + options.passwordFile);
        while (!password.empty() && (password.back() == '\r' || password.back() == ' ')) password.pop_back();
        if (password.find_first_of("\n\r") != std::string::npos) return usageError("the password is one line");
    }
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (platform().socketsStart() != 0) {
        logLine("the sockets library would not start");
        return 1;
    }

    Follower follower;
    follower.options = options;
    // Reconnecting: a second at first, doubling to at most half a minute, and
    // back to a second once a connection has brought a state.
    unsigned pauseMs = 1000;
    for (;;) {
        bool unitWritten = false;
        const long long statesBefore = follower.statesSeen;
        const Link result = v8 ? runV8(follower, unitWritten) : runV7(follower, password, unitWritten);
        if (options.once) return result != Link::Done || follower.failed ? 1 : unitWritten ? 0 : 2;
        if (follower.statesSeen > statesBefore) pauseMs = 1000;
        platform().sleepMilliseconds(pauseMs);
        pauseMs = pauseMs * 2 > 30000 ? 30000 : pauseMs * 2;
    }
}
