// Helpers of the OAuth tests: a scripted external user agent, and waiting on the main queue for the
// client's completions.
#pragma once

#include <doctest/doctest.h>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "oauth/AuthorizationService.hpp"
#include "oauth/ExternalUserAgent.hpp"
#include "platform/base/Dispatch.hpp"

namespace brisko::oauth::test {

// An agent that presents nothing: it records the calls and answers as told.
class ScriptedAgent : public ExternalUserAgent {
  public:
    bool answer = true;
    int presentCount = 0;
    int dismissCount = 0;
    std::shared_ptr<ExternalUserAgentSession> session;
    std::optional<URL> presentedURL;
    // Runs while presenting, before the answer (an agent that fails the flow itself).
    std::function<void(ExternalUserAgentSession&)> whilePresenting;

    bool presentExternalUserAgentRequest(std::shared_ptr<const ExternalUserAgentRequest> request,
                                         std::shared_ptr<ExternalUserAgentSession> s) override {
        ++presentCount;
        session = s;
        presentedURL = request->externalUserAgentRequestURL();
        if (whilePresenting) whilePresenting(*s);
        return answer;
    }
    void dismissExternalUserAgentAnimated(bool, std::function<void()> completion) override {
        ++dismissCount;
        if (completion) completion();
    }
};

// A completion's result, filled once.
template <class T>
struct Outcome {
    T value{};
    OptionalError error;
    int calls = 0;
    auto callback() {
        return [this](T v, OptionalError e) {
            value = std::move(v);
            error = std::move(e);
            ++calls;
        };
    }
    // Runs the main queue until the completion came (bounded).
    bool wait(platform::Duration timeout = std::chrono::seconds(20)) {
        return platform::MainLoop::runUntil([this] { return calls > 0; }, timeout);
    }
};

inline std::pair<TokenResponsePtr, OptionalError> performTokenRequest(TokenRequestPtr request,
                                                                      AuthorizationResponsePtr response = nullptr) {
    Outcome<TokenResponsePtr> outcome;
    AuthorizationService::performTokenRequest(std::move(request), std::move(response), outcome.callback());
    REQUIRE(outcome.wait());
    return {outcome.value, outcome.error};
}

}  // namespace brisko::oauth::test
