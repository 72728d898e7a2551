// The lasting result of an OAuth sign-in: the last responses, the refresh token and scope, the error that
// ended the grant, and fresh tokens on request with at most one refresh running at a time.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "oauth/AuthorizationResponse.hpp"
#include "oauth/AuthorizationService.hpp"
#include "oauth/AuthorizationSession.hpp"
#include "oauth/ExternalUserAgent.hpp"
#include "oauth/OAuthTypes.hpp"
#include "oauth/RegistrationResponse.hpp"
#include "oauth/TokenResponse.hpp"

namespace brisko::oauth {

class AuthState;

// Told of every change of the state.
class AuthStateChangeDelegate {
  public:
    virtual ~AuthStateChangeDelegate() = default;
    virtual void didChangeState(AuthState& state) = 0;
};

// Told of errors that end the grant and, when it wants them, of refresh failures that may pass.
class AuthStateErrorDelegate {
  public:
    virtual ~AuthStateErrorDelegate() = default;
    virtual void didEncounterAuthorizationError(AuthState& state, const Error& error) = 0;
    virtual bool handlesTransientErrors() const { return false; }
    virtual void didEncounterTransientError(AuthState& /*state*/, const Error& /*error*/) {}
};

// The caller's action: fresh access token, ID token, or the error of the refresh.
using AuthStateAction = std::function<void(std::optional<std::string> accessToken,
                                           std::optional<std::string> idToken, OptionalError error)>;
using AuthStateCallback = std::function<void(std::shared_ptr<AuthState>, OptionalError)>;

class AuthStatePendingAction {
  public:
    AuthStatePendingAction(AuthStateAction action, DispatchQueuePtr dispatchQueue)
        : action_(std::move(action)), dispatchQueue_(std::move(dispatchQueue)) {}
    const AuthStateAction& action() const { return action_; }
    const DispatchQueuePtr& dispatchQueue() const { return dispatchQueue_; }

  private:
    AuthStateAction action_;
    DispatchQueuePtr dispatchQueue_;
};

// Thread-safe: every field is read and written under one lock, so a reader on any thread sees one
// consistent set of tokens. Delegates are called on the thread that caused the change, outside the lock.
class AuthState : public std::enable_shared_from_this<AuthState> {
  public:
    static constexpr std::string_view kArchiveClassName = "OACAuthState";
    // An access token with at most this many seconds left is refreshed before use.
    static constexpr int kExpiryTimeTolerance = 60;

    static std::shared_ptr<AuthState> make(AuthorizationResponsePtr authorizationResponse,
                                           TokenResponsePtr tokenResponse = nullptr,
                                           RegistrationResponsePtr registrationResponse = nullptr);
    static std::shared_ptr<AuthState> makeWithRegistrationResponse(RegistrationResponsePtr registrationResponse);

    // Presents the request and, for the "code" response type, exchanges the code; the callback gets the
    // new state or the error. Answers the flow's session.
    static std::shared_ptr<AuthorizationSession> authStateByPresentingAuthorizationRequest(
        AuthorizationRequestPtr authorizationRequest, std::shared_ptr<ExternalUserAgent> externalUserAgent,
        AuthStateCallback callback);
    // The same in the user's default browser.
    static std::shared_ptr<AuthorizationSession> authStateByPresentingAuthorizationRequest(
        AuthorizationRequestPtr authorizationRequest, PresentingWindow presentingWindow, AuthStateCallback callback);
    static std::shared_ptr<AuthorizationSession> authStateByPresentingAuthorizationRequest(
        AuthorizationRequestPtr authorizationRequest, PresentingWindow presentingWindow, bool prefersEphemeralSession,
        AuthStateCallback callback);
    static std::shared_ptr<AuthorizationSession> authStateByPresentingAuthorizationRequest(
        AuthorizationRequestPtr authorizationRequest, AuthStateCallback callback);

    std::optional<std::string> refreshToken() const;
    std::optional<std::string> scope() const;
    AuthorizationResponsePtr lastAuthorizationResponse() const;
    TokenResponsePtr lastTokenResponse() const;
    RegistrationResponsePtr lastRegistrationResponse() const;
    OptionalError authorizationError() const;
    std::optional<std::string> accessToken() const;
    std::optional<std::string> tokenType() const;
    std::optional<Date> accessTokenExpirationDate() const;
    std::optional<std::string> idToken() const;
    bool isAuthorized() const;

    std::shared_ptr<AuthStateChangeDelegate> stateChangeDelegate() const;
    void setStateChangeDelegate(std::weak_ptr<AuthStateChangeDelegate> delegate);
    std::shared_ptr<AuthStateErrorDelegate> errorDelegate() const;
    void setErrorDelegate(std::weak_ptr<AuthStateErrorDelegate> delegate);

    void updateWithRegistrationResponse(RegistrationResponsePtr registrationResponse);
    void updateWithAuthorizationResponse(AuthorizationResponsePtr authorizationResponse, OptionalError error);
    void updateWithTokenResponse(TokenResponsePtr tokenResponse, OptionalError error);
    void updateWithAuthorizationError(const Error& authorizationError);

    // grant_type "refresh_token" with the stored refresh token; without one a programming error.
    TokenRequestPtr tokenRefreshRequest() const;
    TokenRequestPtr tokenRefreshRequestWithAdditionalParameters(const StringMap& additionalParameters,
                                                                const StringMap& additionalHeaders = {}) const;
    TokenRequestPtr tokenRefreshRequestWithAdditionalHeaders(const StringMap& additionalHeaders) const;

    void setNeedsTokenRefresh();
    bool isTokenFresh() const;

    // Runs the action with fresh tokens on the queue (the main queue by default), refreshing first when
    // needed; callers arriving during a refresh share it.
    void performActionWithFreshTokens(AuthStateAction action);
    void performActionWithFreshTokens(AuthStateAction action, const StringMap& additionalRefreshParameters);
    void performActionWithFreshTokens(AuthStateAction action, const StringMap& additionalRefreshParameters,
                                      DispatchQueuePtr dispatchQueue);

    // Tokens redacted.
    std::string description() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<AuthState> initWithCoder(platform::KeyedUnarchiver& coder);

    AuthState() = default;  // for make and decoding only

  private:
    struct Tokens {
        std::optional<std::string> accessToken;
        std::optional<std::string> idToken;
    };
    Tokens tokens() const;
    bool isTokenFreshLocked() const;
    void notifyStateChanged();
    void didRefresh(TokenResponsePtr response, OptionalError error);

    mutable std::mutex mutex_;
    std::optional<std::vector<AuthStatePendingAction>> pendingActions_;
    bool needsTokenRefresh_ = false;
    std::optional<std::string> refreshToken_;
    std::optional<std::string> scope_;
    AuthorizationResponsePtr lastAuthorizationResponse_;
    TokenResponsePtr lastTokenResponse_;
    RegistrationResponsePtr lastRegistrationResponse_;
    OptionalError authorizationError_;
    std::weak_ptr<AuthStateChangeDelegate> stateChangeDelegate_;
    std::weak_ptr<AuthStateErrorDelegate> errorDelegate_;
};

}  // namespace brisko::oauth
