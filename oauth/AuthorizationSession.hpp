// One interactive flow through an external user agent: present, match the redirect, check the state,
// dismiss, and call back exactly once. Also the same for an end-session (logout) request.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "oauth/AuthorizationRequest.hpp"
#include "oauth/AuthorizationResponse.hpp"
#include "oauth/EndSessionRequest.hpp"
#include "oauth/EndSessionResponse.hpp"
#include "oauth/ExternalUserAgent.hpp"
#include "oauth/OAuthTypes.hpp"

namespace brisko::oauth {

using AuthorizationCallback = std::function<void(AuthorizationResponsePtr, OptionalError)>;
using EndSessionCallback = std::function<void(EndSessionResponsePtr, OptionalError)>;

// What both kinds of flow share. Main thread only, like the agents that drive it. The agent is held while
// the flow runs; the callback runs at most once, because finishing clears it before calling it.
template <class Request, class Response>
class ExternalUserAgentFlow : public ExternalUserAgentSession,
                              public std::enable_shared_from_this<ExternalUserAgentFlow<Request, Response>> {
public:
    using RequestPtr = std::shared_ptr<const Request>;
    using ResponsePtr = std::shared_ptr<const Response>;
    using Callback = std::function<void(ResponsePtr, OptionalError)>;

    // Asks the agent to present the request; when it refuses, the flow finishes with -9
    // "Unable to open Safari.".
    void presentAuthorizationWithExternalUserAgent(std::shared_ptr<ExternalUserAgent> externalUserAgent,
                                                   Callback callback);

    void cancel() override;
    void cancelWithCompletion(std::function<void()> completion) override;
    bool resumeExternalUserAgentFlowWithURL(const URL& url) override;
    RedirectOutcome resumeExternalUserAgentFlowWithURLOutcome(const URL& url) override;
    void failExternalUserAgentFlowWithError(const Error& error) override;
    bool shouldHandleURL(const URL& url) const;

    const RequestPtr& request() const { return request_; }

protected:
    explicit ExternalUserAgentFlow(RequestPtr request) : request_(std::move(request)) {}
    virtual const std::optional<URL>& redirectURL() const = 0;
    // The response a redirect of this flow gives, or the error it finishes with.
    virtual std::pair<ResponsePtr, OptionalError> responseForRedirect(const URL& url) const = 0;
    virtual Error cancelError() const = 0;

private:
    RedirectOutcome resume(const URL& url, bool refuseWrongState);
    void didFinishWithResponse(ResponsePtr response, OptionalError error);

    RequestPtr request_;
    std::shared_ptr<ExternalUserAgent> externalUserAgent_;
    Callback pendingCallback_;
};

class AuthorizationSession : public ExternalUserAgentFlow<AuthorizationRequest, AuthorizationResponse> {
public:
    static std::shared_ptr<AuthorizationSession> make(AuthorizationRequestPtr request);
    explicit AuthorizationSession(AuthorizationRequestPtr request) : ExternalUserAgentFlow(std::move(request)) {}

    // Scheme (ignoring case), user, password, host, port and path equal, on the paths with dot segments
    // resolved; query and fragment not compared.
    static bool URLMatchesRedirectionURL(const URL& url, const URL& redirectionURL);

protected:
    const std::optional<URL>& redirectURL() const override { return request()->redirectURL(); }
    // The state is checked first (a redirect without the request's state is refused), then an "error"
    // becomes an OAuth error, a redirect without code is an error, and a front-channel ID token (hybrid
    // flow) passes the same checks as an exchanged one.
    std::pair<AuthorizationResponsePtr, OptionalError> responseForRedirect(const URL& url) const override;
    Error cancelError() const override;
};

class EndSessionImplementation : public ExternalUserAgentFlow<EndSessionRequest, EndSessionResponse> {
public:
    static std::shared_ptr<EndSessionImplementation> make(EndSessionRequestPtr request);
    explicit EndSessionImplementation(EndSessionRequestPtr request) : ExternalUserAgentFlow(std::move(request)) {}

protected:
    const std::optional<URL>& redirectURL() const override { return request()->postLogoutRedirectURL(); }
    std::pair<EndSessionResponsePtr, OptionalError> responseForRedirect(const URL& url) const override;
    Error cancelError() const override;
};

}  // namespace brisko::oauth
