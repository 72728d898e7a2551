// The app core's face of the heartbeat controller: one per app identifier, payloads as objects.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/HeartbeatsPayload.hpp"
#include "core/internal/HeartbeatController.hpp"

namespace brisko::core {

class HeartbeatController {
  public:
    using FlushCompletion = std::function<void(std::shared_ptr<HeartbeatsPayload>)>;

    // A controller over the identifier's shared storage, dated by the process clock.
    static std::shared_ptr<HeartbeatController> initWithId(const std::string& id) {
        return std::make_shared<HeartbeatController>(std::make_shared<internal::HeartbeatController>(id));
    }
    explicit HeartbeatController(std::shared_ptr<internal::HeartbeatController> controller)
        : heartbeatController_(std::move(controller)) {}

    void log(const std::string& agent) { heartbeatController_->log(agent); }
    std::shared_ptr<HeartbeatsPayload> flush() { return wrap(heartbeatController_->flush()); }
    // The completion runs once, on the identifier's heartbeat storage queue.
    void flushAsyncWithCompletionHandler(FlushCompletion completion) {
        heartbeatController_->flushAsync(
            [completion = std::move(completion)](internal::HeartbeatsPayload payload) {
                completion(wrap(std::move(payload)));
            });
    }
    std::shared_ptr<HeartbeatsPayload> flushHeartbeatFromToday() {
        return wrap(heartbeatController_->flushHeartbeatFromToday());
    }

    const std::shared_ptr<internal::HeartbeatController>& heartbeatController() const {
        return heartbeatController_;
    }

  private:
    static std::shared_ptr<HeartbeatsPayload> wrap(internal::HeartbeatsPayload payload) {
        return std::make_shared<HeartbeatsPayload>(std::move(payload));
    }
    const std::shared_ptr<internal::HeartbeatController> heartbeatController_;
};

}  // namespace brisko::core
