#pragma once
// The two clients' messages: a version 8 client's state and its updates, a
// version 7 client's PyON replies.
#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace pelmora::bridge {

using Json = nlohmann::json;

// The most a single message or reply may hold; past it the link is dropped.
constexpr size_t kMaxMessageBytes = 1 << 20;

// A message as JSON; discarded when it is not JSON or nests deeper than
// kMaxDepth (copies and comparisons of a value recurse).
constexpr int kMaxDepth = 64;
Json parseMessage(const std::string& text);

// Applies one update [key, ..., value] to state: string keys walk objects,
// integer indices walk lists; null deletes the key or removes the element
// (later elements move down), an index equal to the list's length appends.
// False, with state untouched, when the update does not fit the state.
bool applyUpdate(Json& state, const Json& update, std::string* why = nullptr);

// Python literals (True, False, None, \xNN escapes) rewritten as JSON.
std::string pyonToJson(const std::string& body);

// Takes the first complete "PyON 1 <name>\n...\n---\n" reply off the front of
// buffer (whatever stood before it goes too). True with name and the body as
// JSON when one was complete; false when more text is needed. A reply whose
// body is not valid gives true with body null.
bool takePyonReply(std::string& buffer, std::string& name, Json& body);

} // namespace pelmora::bridge
