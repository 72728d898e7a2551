// The request-authorizer interface a fetcher calls before sending, and the answer it waits for.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/Error.hpp"
#include "platform/net/URLRequest.hpp"

namespace brisko::fetcher {

class FetcherAuthorizationProtocol;
class SessionFetcherServiceProtocol;

// Who an authorizer answers in the delegate form of authorization.
class FetcherAuthorizationDelegate {
  public:
    virtual ~FetcherAuthorizationDelegate() = default;
    // `request` is the authorized request (the copy the authorizer was given, now with its header).
    virtual void authorizerRequestFinishedWithError(
        const std::shared_ptr<FetcherAuthorizationProtocol>& authorizer,
        std::shared_ptr<platform::URLRequest> request, std::optional<platform::Error> error) = 0;
};

// An authorizer adds credentials (an "Authorization" header) to requests. A fetcher offers it the
// request when `isAuthorizedRequest` says no; optional operations answer false or nothing when an
// authorizer does not offer them.
class FetcherAuthorizationProtocol {
  public:
    using Completion = std::function<void(std::optional<platform::Error>)>;

    virtual ~FetcherAuthorizationProtocol() = default;

    // Optional, preferred: authorizes `request` in place and calls the completion once, on any thread.
    // Answers false when this authorizer does not offer this form.
    virtual bool authorizeRequest(std::shared_ptr<platform::URLRequest> request, Completion completion) {
        (void)request, (void)completion;
        return false;
    }
    // Optional: authorizes `request` in place and tells the delegate. False when not offered.
    virtual bool authorizeRequest(std::shared_ptr<platform::URLRequest> request,
                                  std::shared_ptr<FetcherAuthorizationDelegate> delegate) {
        (void)request, (void)delegate;
        return false;
    }

    virtual void stopAuthorization() = 0;
    virtual void stopAuthorizationForRequest(const platform::URLRequest& request) = 0;
    virtual bool isAuthorizingRequest(const platform::URLRequest& request) = 0;
    virtual bool isAuthorizedRequest(const platform::URLRequest& request) = 0;
    virtual bool canAuthorize() = 0;
    virtual std::optional<std::string> userEmail() = 0;
    virtual bool shouldAuthorizeAllRequests() = 0;
    virtual void setShouldAuthorizeAllRequests(bool value) = 0;

    // Optional: the fetcher service the authorizer is attached to (held weakly).
    virtual std::shared_ptr<SessionFetcherServiceProtocol> fetcherService() { return nullptr; }
    virtual void setFetcherService(std::weak_ptr<SessionFetcherServiceProtocol> service) { (void)service; }

    // Optional: readies a token refresh after a 401; nothing when not offered, else whether the next
    // attempt will carry a fresh token.
    virtual std::optional<bool> primeForRefresh() { return std::nullopt; }
};

}  // namespace brisko::fetcher
