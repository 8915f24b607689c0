#pragma once
// What must hold of every unit file the bridge writes, whatever the client sent.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/bridge.h"

inline void checkUnitFile(const bridge::UnitFacts& facts)
{
    const std::string text = bridge::unitFileText(facts);
    char tag[128];
    std::snprintf(tag, sizeof tag, "\nTag: P%lldR%lldC%lldG%lld\n", facts.project, facts.run, facts.clone, facts.gen);
    const size_t progress = text.rfind("Progress: ");
    const size_t bar = text.find('[', progress);
    bool whole = text.rfind("Current Work Unit\n-----------------\nName: p", 0) == 0 && text.find(tag) != std::string::npos &&
                 progress != std::string::npos && bar != std::string::npos && text.size() == bar + 13 &&
                 text.compare(text.size() - 2, 2, "]\n") == 0 && facts.percent >= 0 && facts.percent <= 100 &&
                 facts.project > 0;
    for (size_t i = bar + 1; whole && i < bar + 11; ++i) whole = text[i] == (i - bar <= size_t(facts.percent / 10) ? '|' : '_');
    if (!whole) {
        std::fprintf(stderr, "a wrong unit file:\n%s", text.c_str());
        std::abort();
    }
}
