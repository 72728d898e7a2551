// Internal: an upload progress event of a URL session task that later progress is added to.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>

namespace brisko::platform::detail {

// An upload progress event on its way to the delegate queue. Progress made before it is delivered is
// added to it instead of queuing another event, so a busy delegate queue gets one event with the sum
// rather than a backlog of small ones.
class PendingUploadProgress {
  public:
    PendingUploadProgress(std::int64_t delta, std::int64_t sent) : delta_(delta), sent_(sent) {}
    // False once the event has been delivered.
    bool add(std::int64_t delta, std::int64_t sent) {
        std::lock_guard lock(mutex_);
        if (delivered_) return false;
        delta_ += delta;
        sent_ = sent;
        return true;
    }
    // The bytes sent since the previous event, and in all.
    std::pair<std::int64_t, std::int64_t> deliver() {
        std::lock_guard lock(mutex_);
        delivered_ = true;
        return {delta_, sent_};
    }

  private:
    std::mutex mutex_;
    std::int64_t delta_;
    std::int64_t sent_;
    bool delivered_ = false;
};

}  // namespace brisko::platform::detail
