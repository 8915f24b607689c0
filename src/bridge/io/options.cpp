// pelmora-bridge's command line, read with CLI11.
#include "bridge/io/options.h"

#include <cstdio>
#include <fstream>
#include <map>

#include <CLI/CLI.hpp>

#ifndef PELMORA_BRIDGE_VERSION
#define PELMORA_BRIDGE_VERSION "unknown"
#endif

namespace pelmora::bridge {

namespace {
constexpr const char* kAbout =
    "pelmora-bridge: keeps unitinfo.txt, as a version 6 client writes it, up to date from a\n"
    "Folding@home client of version 8 (WebSocket API) or 7 (text API).";

int wrongLine(const std::string& why)
{
    std::fprintf(stderr, "pelmora-bridge: %s\n(pelmora-bridge --help lists the options)\n", why.c_str());
    return 1;
}
} // namespace

int readCommandLine(int argc, const char* const* argv, Options& options, std::string& password)
{
    CLI::App app{kAbout, "pelmora-bridge"};
    app.set_version_flag("--version", std::string("pelmora-bridge ") + PELMORA_BRIDGE_VERSION);
    const std::map<std::string, UnitKind> kinds = {{"all", UnitKind::Any}, {"cpu", UnitKind::Cpu}, {"gpu", UnitKind::Gpu}};
    std::string units = "all";
    app.add_option("--client", options.client, "the client's version")
        ->check(CLI::IsMember({"v8", "v7"}))
        ->capture_default_str();
    app.add_option("--host", options.host, "the client's address: a host name, or IPv4 or IPv6")->capture_default_str();
    auto* port = app.add_option("--port", options.port, "its API port (default 7396 for v8, 36330 for v7)")
                     ->check(CLI::Range(1, 65535));
    auto* passwordFile = app.add_option("--password-file", options.passwordFile, "v7: the file holding the client's password");
    app.add_option("--out", options.out, "the directory that gets unitinfo.txt")->capture_default_str();
    app.add_option("--database", options.database, "the monitor's database.txt: new projects are added");
    auto* group = app.add_option("--group", options.group, "v8: the resource group to follow (default the default group)");
    auto* kind = app.add_option("--units", units,
                                "v8: the units to follow: cpu, gpu (a unit with GPUs) or all;\n"
                                "a machine folding on both runs a monitor and a bridge for each")
                     ->check(CLI::IsMember({"all", "cpu", "gpu"}))
                     ->capture_default_str();
    auto* gpu = app.add_option("--gpu", options.gpu,
                               "v8: follow only the units of this GPU, as the client names it\n"
                               "(gpu:01:00:00; --list shows them), in any group unless --group is given");
    auto* slot = app.add_option("--slot", options.slot, "v7: the slot to follow (default every slot)")->check(CLI::Range(0, 99));
    app.add_flag("--once", options.once,
                 "write the files from the first state and end: 0 a unit was written,\n"
                 "2 there was none, 3 the client has no such --group or --gpu,\n"
                 "1 no client (or the file could not be written)");
    app.add_flag("--list", options.list,
                 "print the client's groups, GPUs and units and end (0; 1 no client):\n"
                 "what to run first, to see what to follow");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return wrongLine(e.what());
    }
    const bool v8 = options.client == "v8";
    if (v8 && (slot->count() || passwordFile->count())) return wrongLine("--slot and --password-file are for --client v7");
    if (!v8 && (group->count() || kind->count() || gpu->count()))
        return wrongLine("--group, --units and --gpu are for --client v8");
    if (gpu->count() && kind->count() && units == "cpu") return wrongLine("--gpu follows GPU units, not --units cpu");
    options.groupGiven = group->count() > 0;
    options.units = kinds.at(units);
    if (!port->count()) options.port = v8 ? 7396 : 36330;

    if (!options.passwordFile.empty()) {
        std::ifstream file(options.passwordFile);
        if (!file || !std::getline(file, password)) return wrongLine("cannot read " + options.passwordFile);
        while (!password.empty() && (password.back() == '\r' || password.back() == ' ')) password.pop_back();
        if (password.find_first_of("\n\r") != std::string::npos) return wrongLine("the password is one line");
    }
    return -1;
}

} // namespace pelmora::bridge
