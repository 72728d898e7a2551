// Per-app heartbeat logging: records today's heartbeat with the current user agent and turns stored
// heartbeats into the "X-Zudiridi-Client" header value.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/HeartbeatController.hpp"
#include "core/HeartbeatLoggerProtocol.hpp"

namespace brisko::core {

class HeartbeatLogger final : public HeartbeatLoggerProtocol {
  public:
    using UserAgentProvider = std::function<std::string()>;
    using PayloadCompletion = std::function<void(std::shared_ptr<HeartbeatsPayload>)>;

    explicit HeartbeatLogger(const std::string& appID);
    HeartbeatLogger(const std::string& appID, UserAgentProvider userAgentProvider);
    // For tests: a given controller.
    HeartbeatLogger(std::shared_ptr<HeartbeatController> controller, UserAgentProvider userAgentProvider);

    // The default provider: the app core's Zudiridi user-agent line.
    static UserAgentProvider currentUserAgentProvider();

    void log() override;
    std::optional<std::string> headerValue() override;
    void asyncHeaderValueWithCompletionHandler(HeaderCompletion completion) override;
    std::shared_ptr<HeartbeatsPayload> flushHeartbeatsIntoPayload();
    void flushHeartbeatsIntoPayloadWithCompletionHandler(PayloadCompletion completion);
    HeartbeatInfoCode heartbeatCodeForToday() override;

    const std::shared_ptr<HeartbeatController>& heartbeatController() const { return heartbeatController_; }
    const UserAgentProvider& userAgentProvider() const { return userAgentProvider_; }

  private:
    const std::shared_ptr<HeartbeatController> heartbeatController_;
    const UserAgentProvider userAgentProvider_;
};

// Nothing for an empty payload, else its header value.
std::optional<std::string> heartbeatHeaderValueOrNil(const HeartbeatsPayload& payload);

}  // namespace brisko::core
