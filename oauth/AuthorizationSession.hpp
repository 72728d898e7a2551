// One interactive flow through an external user agent: present, match the redirect, check the state,
// dismiss, and call back exactly once. Also the same for an end-session (logout) request.
#pragma once

#include <functional>
#include <memory>

#include "oauth/AuthorizationRequest.hpp"
#include "oauth/AuthorizationResponse.hpp"
#include "oauth/EndSessionRequest.hpp"
#include "oauth/EndSessionResponse.hpp"
#include "oauth/ExternalUserAgent.hpp"
#include "oauth/OAuthTypes.hpp"

namespace brisko::oauth {

using AuthorizationCallback = std::function<void(AuthorizationResponsePtr, OptionalError)>;
using EndSessionCallback = std::function<void(EndSessionResponsePtr, OptionalError)>;

// Main thread only, like the agents that drive it.
class AuthorizationSession : public ExternalUserAgentSession,
                             public std::enable_shared_from_this<AuthorizationSession> {
  public:
    static std::shared_ptr<AuthorizationSession> make(AuthorizationRequestPtr request);

    // Asks the agent to present the request; when it refuses, the flow finishes with -9
    // "Unable to open Safari.".
    void presentAuthorizationWithExternalUserAgent(std::shared_ptr<ExternalUserAgent> externalUserAgent,
                                                   AuthorizationCallback callback);

    void cancel() override;
    void cancelWithCompletion(std::function<void()> completion) override;
    // Takes a redirect of this flow: the state is checked first (a redirect without state when the request
    // has one is refused), then an "error" becomes an OAuth error, and a redirect with neither code nor
    // error nor tokens is an error too.
    bool resumeExternalUserAgentFlowWithURL(const URL& url) override;
    RedirectOutcome resumeExternalUserAgentFlowWithURLOutcome(const URL& url) override;
    void failExternalUserAgentFlowWithError(const Error& error) override;

    // Scheme (ignoring case), user, password, host, port and path equal; query and fragment not compared.
    static bool URLMatchesRedirectionURL(const URL& url, const URL& redirectionURL);
    bool shouldHandleURL(const URL& url) const;

    const AuthorizationRequestPtr& request() const { return request_; }

    explicit AuthorizationSession(AuthorizationRequestPtr request) : request_(std::move(request)) {}

  private:
    void didFinishWithResponse(AuthorizationResponsePtr response, OptionalError error);

    AuthorizationRequestPtr request_;
    std::shared_ptr<ExternalUserAgent> externalUserAgent_;
    AuthorizationCallback pendingAuthorizationFlowCallback_;
};

class EndSessionImplementation : public ExternalUserAgentSession,
                                 public std::enable_shared_from_this<EndSessionImplementation> {
  public:
    static std::shared_ptr<EndSessionImplementation> make(EndSessionRequestPtr request);

    void presentAuthorizationWithExternalUserAgent(std::shared_ptr<ExternalUserAgent> externalUserAgent,
                                                   EndSessionCallback callback);

    void cancel() override;
    void cancelWithCompletion(std::function<void()> completion) override;
    bool resumeExternalUserAgentFlowWithURL(const URL& url) override;
    RedirectOutcome resumeExternalUserAgentFlowWithURLOutcome(const URL& url) override;
    void failExternalUserAgentFlowWithError(const Error& error) override;
    bool shouldHandleURL(const URL& url) const;

    const EndSessionRequestPtr& request() const { return request_; }

    explicit EndSessionImplementation(EndSessionRequestPtr request) : request_(std::move(request)) {}

  private:
    void didFinishWithResponse(EndSessionResponsePtr response, OptionalError error);

    EndSessionRequestPtr request_;
    std::shared_ptr<ExternalUserAgent> externalUserAgent_;
    EndSessionCallback pendingEndSessionCallback_;
};

}  // namespace brisko::oauth
