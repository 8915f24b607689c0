// Text from the network shown to people: in the log, and in the webhook's
// posts to chat rooms.
#pragma once

#include <string>

namespace pelmora::server {

// Control characters (C0, DEL), C1 codes, bidirectional marks and
// overrides, and bytes that are not UTF-8 written as \xNN or \u{NNNN}, so
// a name can neither start a line of its own nor turn the text around it.
// A backslash is doubled, so an escape cannot be forged either.
std::string escapeForLog(const std::string& text);

// @everyone, @here, <!channel>, <!here>, <@...>: a zero-width space after
// the @ or the <, so chat services show them as text and notify nobody.
std::string neutraliseMentions(const std::string& text);

} // namespace pelmora::server
