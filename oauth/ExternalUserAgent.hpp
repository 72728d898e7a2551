// The two sides of an interactive flow: the flow (a session) and the agent that shows its request.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "oauth/OAuthTypes.hpp"

namespace brisko::oauth {

// What a request offers to an agent: the URL to open and the scheme of the redirect to wait for.
class ExternalUserAgentRequest {
public:
    virtual ~ExternalUserAgentRequest() = default;
    virtual std::optional<URL> externalUserAgentRequestURL() const = 0;
    virtual std::optional<std::string> redirectScheme() const = 0;
};

// What became of a URL handed to a flow.
enum class RedirectOutcome {
    notHandled,  // not this flow's redirect, or the flow has finished: nothing changed
    wrongState,  // this flow's redirect without its request's state: refused, nothing changed
    completed,   // the flow took it and finishes with a response
    failed,      // the flow took it and finishes with an error (an OAuth error, no code...)
};

// What a flow offers to agents and listeners. Called on the main thread.
class ExternalUserAgentSession {
public:
    virtual ~ExternalUserAgentSession() = default;
    virtual void cancel() = 0;
    // The completion runs once the flow has finished as cancelled (and at once when it had finished).
    virtual void cancelWithCompletion(std::function<void()> completion) = 0;
    // True when the URL is this flow's redirect and the flow has taken it.
    virtual bool resumeExternalUserAgentFlowWithURL(const URL& url) = 0;
    // Resumes and tells how the flow took the URL (a listener answers the browser accordingly). Unlike
    // the call above, a redirect whose state is not the request's leaves the flow waiting: a listener
    // any local program can reach must not let a guessed redirect end the sign-in.
    virtual RedirectOutcome resumeExternalUserAgentFlowWithURLOutcome(const URL& url) {
        return resumeExternalUserAgentFlowWithURL(url) ? RedirectOutcome::completed : RedirectOutcome::notHandled;
    }
    virtual void failExternalUserAgentFlowWithError(const Error& error) = 0;
};

// What an agent offers to a flow.
class ExternalUserAgent {
public:
    virtual ~ExternalUserAgent() = default;
    // True when the agent started presenting the request.
    virtual bool presentExternalUserAgentRequest(std::shared_ptr<const ExternalUserAgentRequest> request,
                                                 std::shared_ptr<ExternalUserAgentSession> session) = 0;
    virtual void dismissExternalUserAgentAnimated(bool animated, std::function<void()> completion) = 0;
};

}  // namespace brisko::oauth
