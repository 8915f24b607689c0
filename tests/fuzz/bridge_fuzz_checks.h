#pragma once
// What holds of every unit file the bridge writes, whatever the client sent.
#include <cstdio>
#include <cstdlib>

#include "bridge/bridge.h"

inline void checkUnitFile(const pelmora::bridge::UnitFacts& facts)
{
    char tail[128];
    std::snprintf(tail, sizeof tail, "\nTag: P%lldR%lldC%lldG%lld\n", facts.project, facts.run, facts.clone, facts.gen);
    const std::string text = pelmora::bridge::unitFileText(facts), bar = std::string(facts.percent / 10, '|');
    const std::string progress = "Progress: " + std::to_string(facts.percent) + "% [" + bar + std::string(10 - bar.size(), '_') + "]\n";
    if (text.rfind("Current Work Unit\n-----------------\nName: p", 0) != 0 || text.find(tail) == std::string::npos ||
        facts.project <= 0 || facts.percent < 0 || facts.percent > 100 || text.size() < progress.size() ||
        text.compare(text.size() - progress.size(), progress.size(), progress) != 0) {
        std::fprintf(stderr, "a wrong unit file:\n%s", text.c_str());
        std::abort();
    }
}
