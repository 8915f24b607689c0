// Big answers (the fleet's JSON, /metrics, the event stream's snapshot) are
// made once and sent by every connection from the same immutable buffer;
// their gzip form is made once too, the first time a client asks for it.
//
// Every SharedText counts its bytes (plain and gzip) in sharedTextBytes()
// while it lives, whoever holds it: a cache, or connections still writing
// an older one. A cache makes a new answer only while that count leaves
// room for it (AnswerCache::make), so slow readers holding old answers cost
// at most that budget, whatever their number.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "server/support/defaults.h"

namespace pelmora::server {

class SharedText {
public:
    // COMPRESS: a client that accepts gzip may get the gzip form.
    SharedText(std::string text, bool compress, long long tag = 0);
    ~SharedText();
    SharedText(const SharedText&) = delete;
    SharedText& operator=(const SharedText&) = delete;

    const std::string& plain() const { return plain_; }
    bool compressible() const { return compress_; }
    // The gzip form, made on the first call (the callers wait for it);
    // null when the text is not to be compressed or compressing failed.
    const std::string* gzip() const;
    long long tag() const { return tag_; } // what its maker noted, e.g. the stream message it covers
    bool zipped() const { return zipped_done_; } // a client asked for the gzip form

private:
    const std::string plain_;
    const bool compress_;
    const long long tag_;
    mutable std::once_flag zipped_;
    mutable std::string gzip_;
    mutable std::atomic<bool> zipped_done_{false};
};

// Text shorter than this goes out as it is: gzip's frame would eat the gain.
constexpr std::size_t kSmallestWorthZipping = 256;
// Whether an answer of Content-Type TYPE is text worth compressing (HTML,
// CSS, JavaScript, JSON, SVG; not images compressed already).
bool compressibleType(const std::string& type);

// The bytes all live SharedTexts hold.
std::size_t sharedTextBytes();

// TEXT compressed in the gzip format (RFC 1952); empty when zlib fails.
std::string gzipText(const std::string& text);

// One answer kept between requests. A request gets the kept answer when it
// is of the asked VERSION; otherwise a new one is made, but for a big answer
// (kFreshBelowBytes and over) at most once per kBigAnswerSeconds: in between,
// and while another thread is making it, the kept one is served (a second old
// at most, or older while the answer budget has no room for a new one).
// Small answers are made anew on every change, so a change is seen at once.
//
// Made ahead (AHEAD): a maintenance thread calls renew() a few times a
// second, which makes a big answer out of date anew while it is being asked
// for; a request then gets the kept one as long as it is under
// kAheadSeconds old, so no reader waits while tens of MB are made (under
// load that took a second and more). A request that finds it older, as the
// first after a quiet spell does, makes it itself.
class AnswerCache {
public:
    static constexpr std::size_t kFreshBelowBytes = defaults::kFreshBelowBytes;
    static constexpr int kBigAnswerSeconds = defaults::kBigAnswerSeconds;
    static constexpr int kAheadSeconds = defaults::kAheadSeconds;

    // BUDGET: the most all SharedTexts may hold before a new big answer is made.
    AnswerCache(bool compress, std::size_t budget, bool ahead = false)
        : compress_(compress), budget_(budget), ahead_(ahead)
    {
    }

    // MAKE gives the text and may set the tag; called by one thread at a time
    // for a big answer. It is told the last one's size, to reserve about as
    // much at once: a string grown by doubling would hold up to twice its
    // bytes, and a big answer is tens of MB.
    using Maker = std::function<std::string(long long& tag, std::size_t lastSize)>;
    std::shared_ptr<const SharedText> get(long long version, const Maker& make, bool mustRenew = false);
    // From the maintenance thread: a big answer not of VERSION, asked for in
    // the last kAheadSeconds, made anew (its gzip form too, when the last one
    // was asked for in gzip), under the same once-a-second and budget rules.
    void renew(long long version, const Maker& make);

private:
    using Clock = std::chrono::steady_clock;
    // Makes and keeps the answer; LOCK held on entry and on return.
    std::shared_ptr<const SharedText> make(std::unique_lock<std::mutex>& lock, long long version, const Maker& make,
                                           bool single);

    const bool compress_;
    const std::size_t budget_;
    const bool ahead_;
    Clock::time_point lastAsked_;
    std::mutex mutex_;
    std::condition_variable made_;
    std::shared_ptr<const SharedText> kept_;
    long long keptVersion_ = 0;
    std::chrono::steady_clock::time_point madeAt_;
    bool making_ = false;
};

} // namespace pelmora::server
