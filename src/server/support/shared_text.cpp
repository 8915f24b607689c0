#include "server/support/shared_text.h"

#include <atomic>
#include <zlib.h>

namespace pelmora::server {
namespace {

std::atomic<std::size_t> liveBytes{0};

// Fast over good: a 40 MB /metrics is compressed in a fraction of a second,
// and text this repetitive shrinks about tenfold even so.
constexpr int kGzipLevel = 1;

// A text is kept as long as it is shared: without the spare room a
// growing string keeps (up to as much again).
std::string fitted(std::string text)
{
    if (text.capacity() - text.size() > text.size() / 8) text.shrink_to_fit();
    return text;
}

} // namespace

SharedText::SharedText(std::string text, bool compress, long long tag)
    : plain_(fitted(std::move(text))), compress_(compress && plain_.size() >= kSmallestWorthZipping), tag_(tag)
{
    liveBytes += plain_.size();
}

SharedText::~SharedText() { liveBytes -= plain_.size() + gzip_.size(); }

const std::string* SharedText::gzip() const
{
    if (!compress_) return nullptr;
    std::call_once(zipped_, [this] {
        gzip_ = gzipText(plain_);
        liveBytes += gzip_.size();
        zipped_done_ = true;
    });
    return gzip_.empty() ? nullptr : &gzip_;
}

std::size_t sharedTextBytes() { return liveBytes; }

bool compressibleType(const std::string& type)
{
    return type.compare(0, 5, "text/") == 0 || type.find("javascript") != std::string::npos ||
           type.find("json") != std::string::npos || type.find("svg") != std::string::npos;
}

std::string gzipText(const std::string& text)
{
    z_stream z{};
    if (deflateInit2(&z, kGzipLevel, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return "";
    std::string out(deflateBound(&z, text.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (status != Z_STREAM_END) return "";
    out.shrink_to_fit();
    return out;
}

std::shared_ptr<const SharedText> AnswerCache::get(long long version, const Maker& maker, bool mustRenew)
{
    std::unique_lock<std::mutex> lock(mutex_);
    lastAsked_ = Clock::now();
    for (;;) {
        if (kept_ && keptVersion_ == version && !mustRenew) return kept_;
        const bool big = kept_ && kept_->plain().size() >= kFreshBelowBytes;
        // The first answer and big ones are made by one thread at a time.
        const bool single = !kept_ || big;
        if (single && making_) {
            if (kept_ && !mustRenew) return kept_;
            made_.wait(lock);
            if (!making_ && kept_) return kept_;
            continue;
        }
        if (big && !mustRenew) {
            const auto age = Clock::now() - madeAt_;
            if (age < std::chrono::seconds(ahead_ ? kAheadSeconds : kBigAnswerSeconds)) return kept_;
            if (sharedTextBytes() + kept_->plain().size() > budget_) return kept_;
        }
        return make(lock, version, maker, single);
    }
}

void AnswerCache::renew(long long version, const Maker& maker)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!kept_ || keptVersion_ == version || making_ || kept_->plain().size() < kFreshBelowBytes) return;
    const auto now = Clock::now();
    if (now - lastAsked_ > std::chrono::seconds(kAheadSeconds)) return; // nobody is reading it
    if (now - madeAt_ < std::chrono::seconds(kBigAnswerSeconds)) return;
    if (sharedTextBytes() + kept_->plain().size() > budget_) return;
    make(lock, version, maker, true);
}

std::shared_ptr<const SharedText> AnswerCache::make(std::unique_lock<std::mutex>& lock, long long version,
                                                    const Maker& maker, bool single)
{
    if (single) making_ = true;
    const auto start = Clock::now();
    const std::size_t lastSize = kept_ ? kept_->plain().size() : 0;
    const bool zip = kept_ && kept_->zipped();
    lock.unlock();
    std::shared_ptr<const SharedText> made;
    try {
        long long tag = 0;
        std::string text = maker(tag, lastSize);
        made = std::make_shared<const SharedText>(std::move(text), compress_, tag);
        // Zipped before it is shown when the last one was asked for so: else
        // the next reader in gzip, and all who come meanwhile, would wait for it.
        if (zip) made->gzip();
    } catch (...) {
        lock.lock();
        if (single) making_ = false;
        made_.notify_all();
        throw;
    }
    lock.lock();
    kept_ = made;
    keptVersion_ = version;
    madeAt_ = start;
    if (single) making_ = false;
    made_.notify_all();
    return made;
}

} // namespace pelmora::server
