// The app's heartbeat logger over its heartbeat controller.
#include "core/HeartbeatLogger.hpp"

#include "core/App.hpp"

namespace brisko::core {

std::optional<std::string> heartbeatHeaderValueOrNil(const HeartbeatsPayload& payload) {
    if (payload.isEmpty()) return std::nullopt;
    return payload.headerValue();
}

HeartbeatLogger::HeartbeatLogger(const std::string& appID)
    : HeartbeatLogger(appID, currentUserAgentProvider()) {}

HeartbeatLogger::HeartbeatLogger(const std::string& appID, UserAgentProvider userAgentProvider)
    : HeartbeatLogger(HeartbeatController::initWithId(appID), std::move(userAgentProvider)) {}

HeartbeatLogger::HeartbeatLogger(std::shared_ptr<HeartbeatController> controller,
                                 UserAgentProvider userAgentProvider)
    : heartbeatController_(std::move(controller)), userAgentProvider_(std::move(userAgentProvider)) {}

HeartbeatLogger::UserAgentProvider HeartbeatLogger::currentUserAgentProvider() {
    static const UserAgentProvider kProvider = [] { return App::zudiridiUserAgent(); };
    return kProvider;
}

void HeartbeatLogger::log() {
    heartbeatController_->log(userAgentProvider_());
}

std::optional<std::string> HeartbeatLogger::headerValue() {
    return heartbeatHeaderValueOrNil(*heartbeatController_->flush());
}

void HeartbeatLogger::asyncHeaderValueWithCompletionHandler(HeaderCompletion completion) {
    heartbeatController_->flushAsyncWithCompletionHandler(
        [completion = std::move(completion)](const std::shared_ptr<HeartbeatsPayload>& payload) {
            completion(heartbeatHeaderValueOrNil(*payload));
        });
}

std::shared_ptr<HeartbeatsPayload> HeartbeatLogger::flushHeartbeatsIntoPayload() {
    return heartbeatController_->flush();
}

void HeartbeatLogger::flushHeartbeatsIntoPayloadWithCompletionHandler(PayloadCompletion completion) {
    heartbeatController_->flushAsyncWithCompletionHandler(std::move(completion));
}

HeartbeatInfoCode HeartbeatLogger::heartbeatCodeForToday() {
    return heartbeatController_->flushHeartbeatFromToday()->isEmpty() ? HeartbeatInfoCode::none
                                                                      : HeartbeatInfoCode::global;
}

}  // namespace brisko::core
