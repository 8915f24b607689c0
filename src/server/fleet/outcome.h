// What an operation on the fleet did, or why it was refused. The fleet
// knows nothing of HTTP: the API says each refusal in its own terms, a
// status code and an error text.
#pragma once

#include <optional>
#include <utility>

namespace pelmora::server {

enum class Refusal {
    notFound, // no such machine or waiting identity
    conflict, // the store holds what forbids it (an identity never seen from that address)
};

template <typename Done>
class Outcome {
public:
    Outcome(Done done) : done_(std::move(done)) {}
    Outcome(Refusal refusal) : refusal_(refusal) {}

    explicit operator bool() const { return done_.has_value(); }
    const Done& operator*() const { return *done_; }
    const Done* operator->() const { return &*done_; }
    Refusal refusal() const { return refusal_; } // when not done

private:
    std::optional<Done> done_;
    Refusal refusal_ = Refusal::notFound;
};

} // namespace pelmora::server
