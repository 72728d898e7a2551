// Decides when a heartbeat is recorded (at most one per UTC day and period) and hands the stored
// heartbeats over as payloads.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/internal/HeartbeatStorage.hpp"
#include "core/internal/HeartbeatsPayload.hpp"

namespace brisko::core::internal {

class HeartbeatController {
  public:
    using DateProvider = std::function<Date()>;
    using FlushCompletion = std::function<void(HeartbeatsPayload)>;

    // The number of heartbeats a new bundle holds.
    static constexpr std::int64_t kBundleCapacity = 30;

    // Uses the process clock.
    explicit HeartbeatController(const std::string& id);
    // The provider's dates are standardised to the start of their UTC day.
    HeartbeatController(const std::string& id, DateProvider dateProvider);
    HeartbeatController(std::shared_ptr<HeartbeatStorageProtocol> storage, DateProvider dateProvider);

    // Records a heartbeat of the agent for today, when one is due; returns at once.
    void log(const std::string& agent);
    // Takes every stored heartbeat out as a payload; waits for the storage queue.
    HeartbeatsPayload flush();
    // As flush, without waiting; the completion runs once, on the storage queue.
    void flushAsync(FlushCompletion completion);
    // Takes out today's heartbeat alone; waits for the storage queue.
    HeartbeatsPayload flushHeartbeatFromToday();

    const std::shared_ptr<HeartbeatStorageProtocol>& storage() const { return storage_; }

  private:
    std::shared_ptr<HeartbeatStorageProtocol> storage_;
    DateProvider dateProvider_;
};

}  // namespace brisko::core::internal
