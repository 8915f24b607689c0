// The labels /metrics counts paths under and the access asked of them,
// both read from the route table, for routed paths and stray ones alike.
#include <gtest/gtest.h>

#include <regex>

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

// Each row's label, its placeholders filled in, is a path of that row.
TEST(RouteTable, EveryLabelNamesItsOwnRoute)
{
    for (const Route& r : routeTable()) {
        const std::string path = std::regex_replace(r.label, std::regex(R"(\{\w+\})"), "12");
        EXPECT_TRUE(std::regex_match(path, std::regex(r.pattern))) << r.method << " " << r.label;
        EXPECT_EQ(routeLabel(path), r.label);
    }
}
