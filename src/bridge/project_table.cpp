// The monitor's project table: records appended for the projects seen.
#include "bridge/project_table.h"

#include <cstdio>

#include "workunit/project_database.h"

namespace pelmora::bridge {

namespace {
// A word of the project table: no white space inside.
std::string word(std::string text, const char* empty)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) <= ' ') c = '_';
    return text.empty() ? empty : text;
}
} // namespace

std::string projectRecord(const UnitFacts& facts)
{
    if (facts.points < 0 || facts.core.empty()) return std::string();
    char record[512];
    std::snprintf(record, sizeof record, "%lld %s 0 0.00 0.00 %.2f %lld %s\n", facts.project,
                  word(facts.server.substr(0, 100), "-").c_str(), facts.points, facts.frames > 0 ? facts.frames : 100,
                  word(facts.core.substr(0, 100), "-").c_str());
    return record;
}

int addProject(const std::string& database, const UnitFacts& facts)
{
    const std::string record = projectRecord(facts);
    if (record.empty()) return 0;
    // The monitor's own reader says whether the project is there: both then
    // read the same records the same way.
    ProjectRecord known;
    if (findProjectRecord(database.c_str(), facts.project, known) == 1) return 0;
    bool endsInLine = true;
    if (FILE* file = std::fopen(database.c_str(), "rb")) {
        if (std::fseek(file, -1, SEEK_END) == 0) endsInLine = std::fgetc(file) == '\n';
        std::fclose(file);
    }
    FILE* file = std::fopen(database.c_str(), "a");
    if (!file) return -1;
    const std::string lines = (endsInLine ? "" : "\n") + record;
    const bool written = std::fwrite(lines.data(), 1, lines.size(), file) == lines.size();
    return std::fclose(file) == 0 && written ? 1 : -1;
}

} // namespace pelmora::bridge
