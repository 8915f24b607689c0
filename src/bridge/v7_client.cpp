// Version 7: the text API on a plain TCP connection, through the platform's
// sockets (their connect, send and receive time-outs bound every wait).
#include <algorithm>
#include <cstdio>

#include "bridge/client_table.h"
#include "bridge/follower.h"
#include "bridge/messages.h"
#include "platform/platform.h"

namespace pelmora::bridge {

namespace {
struct TextLink {
    long long socket = kInvalidSocket;
    std::string buffer;
    int lastGot = -1; // the last receive's outcome: 0 the client closed the connection

    bool send(const std::string& text)
    {
        size_t done = 0;
        while (done < text.size()) {
            const int sent = platform().socketSend(socket, text.data() + done, static_cast<int>(text.size() - done));
            if (sent <= 0) return false;
            done += static_cast<size_t>(sent);
        }
        return true;
    }

    // More text into the buffer; false when the link failed, timed out or
    // the client sent more than a reply may hold.
    bool receive()
    {
        char chunk[4096];
        const int got = lastGot = platform().socketReceive(socket, chunk, sizeof chunk);
        if (got <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(got));
        return buffer.size() <= kMaxMessageBytes;
    }

    // Reads until the buffer holds the prompt "> ".
    bool awaitPrompt()
    {
        while (buffer.find("> ") == std::string::npos)
            if (!receive()) return false;
        return true;
    }

    // Nothing received before the client closed the connection.
    bool closedAtOnce() const { return buffer.empty() && lastGot == 0; }
};

Link lose(TextLink& link, const std::string& why)
{
    logLine("version 7 client: " + why + "; reconnecting");
    platform().socketClose(link.socket);
    return Link::Lost;
}
} // namespace

Link runV7(Follower& follower, const std::string& password, bool& unitWritten)
{
    const Options& options = follower.options;
    TextLink link;
    link.socket = platform().socketConnectHost(options.host.c_str(), options.port);
    if (link.socket == kInvalidSocket) {
        char why[256];
        platform().socketErrorText(platform().socketLastError(), why, sizeof why);
        logCannotConnect(options, why);
        return Link::Unreachable;
    }
    // The greeting ends with the first prompt.
    if (!link.awaitPrompt()) {
        if (link.closedAtOnce()) {
            logClosedAtOnce(options);
            platform().socketClose(link.socket);
            return Link::Unreachable;
        }
        return lose(link, "no greeting");
    }
    logConnected(options);
    link.buffer.clear();
    if (!password.empty()) {
        if (!link.send("auth " + password + "\n") || !link.awaitPrompt()) return lose(link, "no answer to auth");
        if (link.buffer.find("OK") == std::string::npos) {
            logLine("version 7 client: the password was refused");
            platform().socketClose(link.socket);
            return Link::Unreachable;
        }
        link.buffer.clear();
    }
    // The queue now, then again whenever it changes; the heartbeat keeps a
    // quiet link from reading as a stalled one.
    if (!link.send("updates clear\nupdates add 0 5 $heartbeat\nupdates add 1 5 $queue-info\nqueue-info\n"))
        return lose(link, "cannot send the commands");
    Json queue;
    for (;;) {
        std::string name;
        Json body;
        while (takePyonReply(link.buffer, name, body)) {
            // A heartbeat is the moment to retry a write that failed.
            const bool retry = name == "heartbeat" && follower.failed && queue.is_array();
            if (name != "units" && !retry) continue;
            if (name == "units") {
                if (!body.is_array()) return lose(link, "a malformed queue-info reply");
                queue = std::move(body);
                ++follower.statesSeen;
                if (options.list) {
                    std::fputs(v7Table(queue).c_str(), stdout);
                    platform().socketClose(link.socket);
                    return Link::Done;
                }
            }
            UnitFacts facts;
            const bool found = chooseV7Unit(queue, options.slot, follower.followed, facts);
            const bool written = follower.follow(found, facts);
            if (options.once) {
                unitWritten = written;
                platform().socketClose(link.socket);
                return Link::Done;
            }
        }
        // A refused command (a password needed?) is worth a line of the log.
        for (size_t refused, lineEnd; (refused = link.buffer.find("ERROR: ")) != std::string::npos &&
                                      (lineEnd = link.buffer.find('\n', refused)) != std::string::npos;) {
            logLine("version 7 client: " + link.buffer.substr(refused, std::min<size_t>(lineEnd - refused, 200)));
            link.buffer.erase(0, lineEnd + 1);
        }
        if (!link.receive()) return lose(link, "the link failed, stalled or sent too much");
    }
}

} // namespace pelmora::bridge
