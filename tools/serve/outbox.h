// What waits to be sent to one client: messages that must all arrive, in
// order (events, acknowledgements), and one slot for the latest status,
// which a newer status replaces while it waits. A client that reads slowly
// thus never has more than one status queued, and still gets every event.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "serve/http_server.h"

namespace telvo::station {

class Outbox {
public:
    void push(std::string message, bool binary = false) {
        bytes_ += message.size();
        queue_.push_back({++seq_, {std::move(message), binary}});
    }
    // Replaces the status waiting, if any; it goes out in the order of its
    // latest replacement among the queued messages.
    void setLatest(std::string message) {
        latest_ = std::move(message);
        latestSeq_ = ++seq_;
        hasLatest_ = true;
        ++statusesSet_;
    }
    bool take(Outgoing& out) {
        bool latestFirst = hasLatest_ && (queue_.empty() || latestSeq_ < queue_.front().first);
        if (latestFirst) {
            out.data = std::move(latest_);
            out.binary = false;
            latest_.clear();
            hasLatest_ = false;
            ++statusesSent_;
            return true;
        }
        if (queue_.empty()) return false;
        out = std::move(queue_.front().second);
        queue_.pop_front();
        bytes_ -= out.data.size();
        return true;
    }
    bool empty() const { return queue_.empty() && !hasLatest_; }
    size_t queued() const { return queue_.size(); }
    size_t queuedBytes() const { return bytes_; }
    bool hasLatest() const { return hasLatest_; }
    // Statuses offered and statuses sent: the difference were replaced.
    uint64_t statusesSet() const { return statusesSet_; }
    uint64_t statusesSent() const { return statusesSent_; }

private:
    std::deque<std::pair<uint64_t, Outgoing>> queue_;
    std::string latest_;
    uint64_t latestSeq_ = 0, seq_ = 0;
    bool hasLatest_ = false;
    size_t bytes_ = 0;
    uint64_t statusesSet_ = 0, statusesSent_ = 0;
};

}  // namespace telvo::station
