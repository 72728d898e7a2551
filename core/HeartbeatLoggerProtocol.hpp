// What the identity requests need of an app's heartbeat logger: the "X-Zudiridi-Client" header value.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace brisko::core {

inline constexpr std::string_view kHeartbeatHeaderName = "X-Zudiridi-Client";

// Daily heartbeat code: whether a heartbeat for today was stored.
enum class HeartbeatInfoCode : long { none = 0, global = 2 };

class HeartbeatLoggerProtocol {
  public:
    using HeaderCompletion = std::function<void(std::optional<std::string>)>;
    virtual ~HeartbeatLoggerProtocol() = default;

    // Records a heartbeat for today.
    virtual void log() = 0;
    // The header value of the stored heartbeats, consuming them; nothing when none are stored.
    virtual std::optional<std::string> headerValue() = 0;
    // As headerValue, without blocking; the completion runs on the heartbeat storage queue.
    virtual void asyncHeaderValueWithCompletionHandler(HeaderCompletion completion) = 0;
    virtual HeartbeatInfoCode heartbeatCodeForToday() = 0;
};

}  // namespace brisko::core
