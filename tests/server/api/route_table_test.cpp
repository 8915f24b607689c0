// The labels /metrics counts paths under and the access asked of them,
// both read from the route table, for routed paths and stray ones alike.
#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

#include "server/api/route_table.h"

using namespace pelmora::server;

TEST(RouteTable, LabelAndAccessOfEveryPath)
{
    struct Case {
        const char* path;
        const char* label;
        Access access;
    } cases[] = {
        {"/healthz", "/healthz", Access::anyHost},
        {"/folding/unitstats.php", "/folding/unitstats.php", Access::anyHost},
        {"/signin", "/signin", Access::open},
        {"/api/session", "/api/session", Access::open},
        {"/assets/a/b", "/assets/{file}", Access::open}, // a file label takes in the paths below it
        {"/assets/", "/assets/{file}", Access::open},
        {"/assets", "other", Access::viewer},
        {"/metrics", "/metrics", Access::viewer},
        {"/", "/", Access::viewer},
        {"//", "other", Access::viewer},
        {"", "other", Access::viewer},
        {"/machines/x/y", "/machines/{id}", Access::viewer},
        {"/api/machines/", "/api/machines/{id}", Access::viewer},
        {"/api/machines/abc", "/api/machines/{id}", Access::viewer},
        {"/api/machines/5/x", "other", Access::viewer}, // {id} goes on in other labels, so takes nothing below
        {"/api/machines//address", "/api/machines/{id}/address", Access::admin},
        {"/api/machines/5/address/x", "other", Access::viewer},
        {"/api/machines/5/commands", "/api/machines/{id}/commands", Access::viewer}, // GET's, the loosest
        {"/api/machines/5/commands/7/8", "/api/machines/{id}/commands/{command}", Access::admin},
        {"/api/commands/x", "/api/commands/{command}", Access::admin},
        {"/api/machinesX", "other", Access::viewer},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(routeLabel(c.path), c.label) << c.path;
        EXPECT_EQ(pathAccess(c.path), c.access) << c.path;
    }
}

// Each row's path, its placeholders filled in, matches the row and is counted under it.
TEST(RouteTable, EveryPathNamesItsOwnRoute)
{
    for (const Route& r : routeTable()) {
        const std::string path = std::regex_replace(r.path, std::regex(R"(\{\w+\})"), "12");
        EXPECT_TRUE(std::regex_match(path, std::regex(routePattern(r.path)))) << r.method << " " << r.path;
        EXPECT_EQ(routeLabel(path), r.path);
    }
}

// The pattern made from a path: its text taken literally, each placeholder
// one segment of its form, in a group.
TEST(RouteTable, PatternsFromPaths)
{
    struct Case {
        const char* path;
        const char* request;
        const char* groups; // null: no match
    } cases[] = {
        {"/folding/unitstats.php", "/folding/unitstats.php", ""},
        {"/folding/unitstats.php", "/folding/unitstatsXphp", nullptr},
        {"/api/machines/{id}/commands/{command}", "/api/machines/5/commands/17", "5 17 "},
        {"/api/machines/{id}", "/api/machines/1234567890123456789", nullptr}, // 19 digits
        {"/api/machines/{id}", "/api/machines/x", nullptr},
        {"/assets/{file}", "/assets/app.css", "app.css "},
        {"/assets/{file}", "/assets/.hidden", nullptr},
        {"/assets/{file}", "/assets/a/b", nullptr},
    };
    for (const Case& c : cases) {
        std::smatch m;
        const std::string request = c.request;
        const bool matched = std::regex_match(request, m, std::regex(routePattern(c.path)));
        ASSERT_EQ(matched, c.groups != nullptr) << c.path << " " << c.request;
        std::string groups;
        for (std::size_t i = 1; i < m.size(); ++i) groups += m[i].str() + " ";
        EXPECT_EQ(groups, matched ? c.groups : "") << c.path;
    }
    EXPECT_THROW(routePattern("/api/{nothing}"), std::logic_error);
}
