#include "server/monitor/unit_page.h"

namespace pelmora::server {
namespace {

std::string countOf(long long n, const char* what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string htmlEscape(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

} // namespace

std::string unitReceivedPage(const UnitSubmission& u, const UnitCounts& counts)
{
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Unit received</title></head><body><p>Unit " +
           htmlEscape(u.protein) + " received. Thank you for folding.</p><p>" + htmlEscape(u.user) + ": " +
           countOf(counts.user, "unit") + ". Team " + std::to_string(u.team) + ": " + countOf(counts.team, "unit") +
           ".</p></body></html>\n";
}

std::string unitKeptPage(const UnitSubmission& u)
{
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Unit received</title></head><body><p>Unit " +
           htmlEscape(u.protein) + " received; it will be counted shortly. Thank you for folding.</p></body></html>\n";
}

std::string unitRefusedPage(const std::string& reason)
{
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Unit refused</title></head><body><p>Unit "
           "refused: " + htmlEscape(reason) + "</p></body></html>\n";
}

} // namespace pelmora::server
