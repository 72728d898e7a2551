// The heartbeat controller's transforms over the stored bundle.
#include "core/internal/HeartbeatController.hpp"

#include "platform/base/Clock.hpp"

namespace brisko::core::internal {
namespace {

HeartbeatController::DateProvider standardised(HeartbeatController::DateProvider provider) {
    return [provider = std::move(provider)] { return startOfUTCDay(provider()); };
}

// A flushed bundle keeps its last-added dates, so no second heartbeat is recorded the same day.
std::optional<HeartbeatsBundle> resetTransform(std::optional<HeartbeatsBundle> bundle) {
    if (!bundle) return std::nullopt;
    HeartbeatsBundle fresh(HeartbeatController::kBundleCapacity);
    fresh.lastAddedHeartbeatDates = std::move(bundle->lastAddedHeartbeatDates);
    return fresh;
}

HeartbeatsPayload payloadOf(const std::optional<HeartbeatsBundle>& bundle) {
    return bundle ? bundle->makePayload() : HeartbeatsPayload::empty();
}

}  // namespace

HeartbeatController::HeartbeatController(const std::string& id)
    : HeartbeatController(id, [] { return toHeartbeatDate(platform::now()); }) {}

HeartbeatController::HeartbeatController(const std::string& id, DateProvider dateProvider)
    : HeartbeatController(HeartbeatStorage::shared(id), std::move(dateProvider)) {}

HeartbeatController::HeartbeatController(std::shared_ptr<HeartbeatStorageProtocol> storage,
                                         DateProvider dateProvider)
    : storage_(std::move(storage)), dateProvider_(standardised(std::move(dateProvider))) {}

void HeartbeatController::log(const std::string& agent) {
    const Date date = dateProvider_();
    storage_->updateAsync(
        [agent, date](std::optional<HeartbeatsBundle> stored) -> std::optional<HeartbeatsBundle> {
            HeartbeatsBundle bundle = stored ? std::move(*stored) : HeartbeatsBundle(kBundleCapacity);
            // A period without a last-added date has never been recorded, so it is due: a record whose
            // map lost its entries must not stop heartbeats for good. A last-added date after today (a
            // clock that was once ahead, a damaged file) is due as well, or heartbeats would stop until
            // that date.
            std::vector<TimePeriod> due;
            for (auto period : kAllTimePeriods) {
                auto it = bundle.lastAddedHeartbeatDates.find(period);
                if (it == bundle.lastAddedHeartbeatDates.end() || it->second > date ||
                    date - it->second >= timeInterval(period)) {
                    due.push_back(period);
                }
            }
            if (!due.empty()) bundle.append(Heartbeat{agent, date, 0, std::move(due)});
            return bundle;
        });
}

HeartbeatsPayload HeartbeatController::flush() {
    try {
        return payloadOf(storage_->replaceSync(resetTransform));
    } catch (const StorageError&) {
        return HeartbeatsPayload::empty();
    }
}

void HeartbeatController::flushAsync(FlushCompletion completion) {
    storage_->replaceAsync(
        resetTransform, [completion = std::move(completion)](const std::optional<HeartbeatsBundle>& previous,
                                                             const std::exception_ptr& error) {
            completion(error ? HeartbeatsPayload::empty() : payloadOf(previous));
        });
}

HeartbeatsPayload HeartbeatController::flushHeartbeatFromToday() {
    const Date date = dateProvider_();
    std::optional<Heartbeat> taken;
    storage_->updateSync([&](std::optional<HeartbeatsBundle> bundle) -> std::optional<HeartbeatsBundle> {
        if (!bundle) return std::nullopt;
        taken = bundle->takeHeartbeat(date);
        return bundle;
    });
    if (!taken) return HeartbeatsPayload::empty();
    return HeartbeatsPayload({UserAgentPayload{taken->agent, {taken->date}}});
}

}  // namespace brisko::core::internal
