#include "server/http/answer_budget.h"
#include "server/support/ip_address.h"

namespace pelmora::server {

bool AnswerBudget::tryStart(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Held& h = held_[addressKey(address)];
    if (h.answers > 0 && (h.bytes >= perAddress_ || total_ >= overall_)) return false;
    ++h.answers;
    return true;
}

void AnswerBudget::charge(const std::string& address, std::size_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    held_[addressKey(address)].bytes += bytes;
    total_ += bytes;
}

void AnswerBudget::finish(const std::string& address, std::size_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = held_.find(addressKey(address));
    if (found == held_.end()) return;
    found->second.bytes -= bytes;
    total_ -= bytes;
    if (--found->second.answers == 0) held_.erase(found);
}

std::size_t AnswerBudget::writing()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return total_;
}

} // namespace pelmora::server
