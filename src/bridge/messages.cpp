// The two clients' messages: v8 updates applied to the state, v7 PyON replies.
#include "bridge/messages.h"

namespace pelmora::bridge {

namespace {
bool refuse(std::string* why, const char* text)
{
    if (why) *why = text;
    return false;
}

// A list index: a whole number not below 0.
bool isIndex(const Json& key) { return key.is_number_unsigned() || (key.is_number_integer() && key.get<long long>() >= 0); }
} // namespace

Json parseMessage(const std::string& text)
{
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if ((c == '[' || c == '{') && ++depth > kMaxDepth) {
            return Json(Json::value_t::discarded);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return Json::parse(text, nullptr, false);
}

bool applyUpdate(Json& state, const Json& update, std::string* why)
{
    if (!update.is_array() || update.size() < 2) return refuse(why, "an update is a list of at least a key and a value");
    // Walk to the container the last key is in; nothing is changed before
    // the whole path is known to fit.
    Json* at = &state;
    const size_t last = update.size() - 2;
    for (size_t i = 0; i < last; ++i) {
        const Json& key = update[i];
        if (key.is_string() && at->is_object()) {
            auto found = at->find(key.get<std::string>());
            if (found == at->end()) return refuse(why, "an update names a key that is not there");
            at = &*found;
        } else if (isIndex(key) && at->is_array()) {
            const unsigned long long index = key.get<unsigned long long>();
            if (index >= at->size()) return refuse(why, "an update names a list element that is not there");
            at = &(*at)[static_cast<size_t>(index)];
        } else {
            return refuse(why, "an update's path does not fit the state");
        }
    }
    const Json& key = update[last];
    const Json& value = update.back();
    if (key.is_string() && at->is_object()) {
        if (value.is_null())
            at->erase(key.get<std::string>());
        else
            (*at)[key.get<std::string>()] = value;
        return true;
    }
    if (isIndex(key) && at->is_array()) {
        const unsigned long long wide = key.get<unsigned long long>();
        if (wide > at->size()) return refuse(why, "an update names a list element that is not there");
        const size_t index = static_cast<size_t>(wide);
        if (index > at->size() || (index == at->size() && value.is_null()))
            return refuse(why, "an update names a list element that is not there");
        if (value.is_null())
            at->erase(at->begin() + static_cast<std::ptrdiff_t>(index));
        else if (index == at->size())
            at->push_back(value);
        else
            (*at)[index] = value;
        return true;
    }
    return refuse(why, "an update's last key does not fit the state");
}

std::string pyonToJson(const std::string& body)
{
    std::string out;
    out.reserve(body.size());
    const size_t n = body.size();
    for (size_t i = 0; i < n;) {
        const char c = body[i];
        if (c == '"') {
            // A string: copied as it is, but for Python's \xNN.
            out += c;
            ++i;
            while (i < n && body[i] != '"') {
                if (body[i] == '\\' && i + 1 < n) {
                    if (body[i + 1] == 'x') {
                        out += "\\u00";
                        i += 2;
                    } else {
                        out += body[i];
                        out += body[i + 1];
                        i += 2;
                    }
                } else {
                    out += body[i++];
                }
            }
            if (i < n) out += body[i++];
            continue;
        }
        // A word outside strings: Python's constants become JSON's.
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            size_t end = i;
            while (end < n && ((body[end] >= 'A' && body[end] <= 'Z') || (body[end] >= 'a' && body[end] <= 'z'))) ++end;
            const std::string word = body.substr(i, end - i);
            out += word == "True" ? "true" : word == "False" ? "false" : word == "None" ? "null" : word;
            i = end;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

bool takePyonReply(std::string& buffer, std::string& name, Json& body)
{
    static const std::string kStart = "PyON ";
    static const std::string kEnd = "\n---\n";
    size_t start = buffer.find(kStart);
    // A reply starts a line (or follows a prompt).
    while (start != std::string::npos && start > 0 && buffer[start - 1] != '\n' &&
           buffer.compare(start - (start >= 2 ? 2 : 1), 2, "> ") != 0)
        start = buffer.find(kStart, start + 1);
    if (start == std::string::npos) return false;
    const size_t lineEnd = buffer.find('\n', start);
    if (lineEnd == std::string::npos) return false;
    const size_t end = buffer.find(kEnd, lineEnd);
    if (end == std::string::npos) return false;
    // "PyON <version> <name>"
    const std::string header = buffer.substr(start + kStart.size(), lineEnd - start - kStart.size());
    const size_t space = header.find(' ');
    name = space == std::string::npos ? std::string() : header.substr(space + 1);
    while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.pop_back();
    body = parseMessage(pyonToJson(buffer.substr(lineEnd + 1, end - lineEnd - 1)));
    if (body.is_discarded()) body = nullptr;
    buffer.erase(0, end + kEnd.size());
    return true;
}

} // namespace pelmora::bridge
