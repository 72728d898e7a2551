// The authorization state: updates, fresh-token actions with one shared refresh, and its archive.
#include "oauth/AuthState.hpp"

#include "oauth/ErrorUtilities.hpp"
#include "oauth/ExternalUserAgentMac.hpp"
#include "oauth/TokenUtilities.hpp"
#include "oauth/internal/Archive.hpp"
#include "oauth/internal/Describe.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::oauth {
namespace {

constexpr std::string_view kNoRefreshToken = "Unable to refresh expired token without a refresh token.";
constexpr std::string_view kNoRefreshTokenException =
    "Attempted to create a token refresh request from a token response with no refresh token.";
constexpr std::string_view kMissingCode = "The redirect carried neither an authorization code nor an error.";

// An archived authorization error keeps its domain and code only.
Value archivedError(const Error& error) {
    return Value(Dictionary{{"domain", error.domain()}, {"code", error.code()}});
}
OptionalError errorFromArchive(const Value& value) {
    const auto* dictionary = value.dictionary();
    if (!dictionary) return std::nullopt;
    auto domain = dictionary->find("domain");
    auto code = dictionary->find("code");
    if (domain == dictionary->end() || code == dictionary->end() || !domain->second.string() ||
        !code->second.integer()) {
        return std::nullopt;
    }
    return Error(*domain->second.string(), *code->second.integer());
}

}  // namespace

std::shared_ptr<AuthState> AuthState::make(AuthorizationResponsePtr authorizationResponse,
                                           TokenResponsePtr tokenResponse,
                                           RegistrationResponsePtr registrationResponse) {
    auto state = std::make_shared<AuthState>();
    if (registrationResponse) state->updateWithRegistrationResponse(std::move(registrationResponse));
    if (authorizationResponse) state->updateWithAuthorizationResponse(std::move(authorizationResponse), std::nullopt);
    if (tokenResponse) state->updateWithTokenResponse(std::move(tokenResponse), std::nullopt);
    return state;
}

std::shared_ptr<AuthState> AuthState::makeWithRegistrationResponse(RegistrationResponsePtr registrationResponse) {
    return make(nullptr, nullptr, std::move(registrationResponse));
}

std::shared_ptr<AuthorizationSession>
AuthState::authStateByPresentingAuthorizationRequest(AuthorizationRequestPtr authorizationRequest,
                                                     std::shared_ptr<ExternalUserAgent> externalUserAgent,
                                                     AuthStateCallback callback) {
    auto request = authorizationRequest;
    return AuthorizationService::presentAuthorizationRequest(
        std::move(authorizationRequest), std::move(externalUserAgent),
        [request, callback = std::move(callback)](AuthorizationResponsePtr response, OptionalError error) {
            if (!response) {
                callback(nullptr, std::move(error));
                return;
            }
            if (request->responseType() != kResponseTypeCode) {
                callback(AuthState::make(response), std::nullopt);
                return;
            }
            if (!response->authorizationCode()) {
                callback(nullptr, ErrorUtilities::errorWithCode(ErrorCode::invalidRedirectError, std::nullopt,
                                                                std::string(kMissingCode)));
                return;
            }
            AuthorizationService::performTokenRequest(
                response->tokenExchangeRequest(), response,
                [response, callback](TokenResponsePtr tokenResponse, OptionalError tokenError) {
                    if (tokenResponse) {
                        callback(AuthState::make(response, tokenResponse), std::nullopt);
                    } else {
                        callback(nullptr, std::move(tokenError));
                    }
                });
        });
}

std::shared_ptr<AuthorizationSession>
AuthState::authStateByPresentingAuthorizationRequest(AuthorizationRequestPtr authorizationRequest,
                                                     PresentingWindow presentingWindow, AuthStateCallback callback) {
    return authStateByPresentingAuthorizationRequest(
        std::move(authorizationRequest), std::make_shared<ExternalUserAgentMac>(presentingWindow), std::move(callback));
}

std::shared_ptr<AuthorizationSession>
AuthState::authStateByPresentingAuthorizationRequest(AuthorizationRequestPtr authorizationRequest,
                                                     PresentingWindow presentingWindow, bool prefersEphemeralSession,
                                                     AuthStateCallback callback) {
    return authStateByPresentingAuthorizationRequest(
        std::move(authorizationRequest),
        std::make_shared<ExternalUserAgentMac>(presentingWindow, prefersEphemeralSession), std::move(callback));
}

std::shared_ptr<AuthorizationSession>
AuthState::authStateByPresentingAuthorizationRequest(AuthorizationRequestPtr authorizationRequest,
                                                     AuthStateCallback callback) {
    return authStateByPresentingAuthorizationRequest(std::move(authorizationRequest),
                                                     std::make_shared<ExternalUserAgentMac>(), std::move(callback));
}

// Reading

std::optional<std::string> AuthState::refreshToken() const {
    std::lock_guard lock(mutex_);
    return refreshToken_;
}
std::optional<std::string> AuthState::scope() const {
    std::lock_guard lock(mutex_);
    return scope_;
}
AuthorizationResponsePtr AuthState::lastAuthorizationResponse() const {
    std::lock_guard lock(mutex_);
    return lastAuthorizationResponse_;
}
TokenResponsePtr AuthState::lastTokenResponse() const {
    std::lock_guard lock(mutex_);
    return lastTokenResponse_;
}
RegistrationResponsePtr AuthState::lastRegistrationResponse() const {
    std::lock_guard lock(mutex_);
    return lastRegistrationResponse_;
}
OptionalError AuthState::authorizationError() const {
    std::lock_guard lock(mutex_);
    return authorizationError_;
}

namespace {
// The value of the last token response when there is one (even when it lacks the value), else of the
// last authorization response; nothing while an authorization error is set.
template <class T, class Token, class Authorization>
std::optional<T> currentValue(const OptionalError& authorizationError, const TokenResponsePtr& token,
                              const AuthorizationResponsePtr& authorization, Token fromToken,
                              Authorization fromAuthorization) {
    if (authorizationError) return std::nullopt;
    if (token) return ((*token).*fromToken)();
    if (authorization) return ((*authorization).*fromAuthorization)();
    return std::nullopt;
}
}  // namespace

std::optional<std::string> AuthState::accessToken() const {
    std::lock_guard lock(mutex_);
    return currentValue<std::string>(authorizationError_, lastTokenResponse_, lastAuthorizationResponse_,
                                     &TokenResponse::accessToken, &AuthorizationResponse::accessToken);
}
std::optional<std::string> AuthState::tokenType() const {
    std::lock_guard lock(mutex_);
    return currentValue<std::string>(authorizationError_, lastTokenResponse_, lastAuthorizationResponse_,
                                     &TokenResponse::tokenType, &AuthorizationResponse::tokenType);
}
std::optional<Date> AuthState::accessTokenExpirationDate() const {
    std::lock_guard lock(mutex_);
    return currentValue<Date>(authorizationError_, lastTokenResponse_, lastAuthorizationResponse_,
                              &TokenResponse::accessTokenExpirationDate,
                              &AuthorizationResponse::accessTokenExpirationDate);
}
std::optional<std::string> AuthState::idToken() const {
    std::lock_guard lock(mutex_);
    return currentValue<std::string>(authorizationError_, lastTokenResponse_, lastAuthorizationResponse_,
                                     &TokenResponse::idToken, &AuthorizationResponse::idToken);
}

AuthState::Tokens AuthState::tokens() const {
    std::lock_guard lock(mutex_);
    return {currentValue<std::string>(authorizationError_, lastTokenResponse_, lastAuthorizationResponse_,
                                      &TokenResponse::accessToken, &AuthorizationResponse::accessToken),
            currentValue<std::string>(authorizationError_, lastTokenResponse_, lastAuthorizationResponse_,
                                      &TokenResponse::idToken, &AuthorizationResponse::idToken)};
}

bool AuthState::isAuthorized() const {
    auto t = tokens();
    std::lock_guard lock(mutex_);
    return !authorizationError_ && (t.accessToken || t.idToken || refreshToken_);
}

std::shared_ptr<AuthStateChangeDelegate> AuthState::stateChangeDelegate() const {
    std::lock_guard lock(mutex_);
    return stateChangeDelegate_.lock();
}
void AuthState::setStateChangeDelegate(std::weak_ptr<AuthStateChangeDelegate> delegate) {
    std::lock_guard lock(mutex_);
    stateChangeDelegate_ = std::move(delegate);
}
std::shared_ptr<AuthStateErrorDelegate> AuthState::errorDelegate() const {
    std::lock_guard lock(mutex_);
    return errorDelegate_.lock();
}
void AuthState::setErrorDelegate(std::weak_ptr<AuthStateErrorDelegate> delegate) {
    std::lock_guard lock(mutex_);
    errorDelegate_ = std::move(delegate);
}

// Updates

void AuthState::notifyStateChanged() {
    if (auto delegate = stateChangeDelegate()) delegate->didChangeState(*this);
}

void AuthState::updateWithRegistrationResponse(RegistrationResponsePtr registrationResponse) {
    {
        std::lock_guard lock(mutex_);
        lastRegistrationResponse_ = std::move(registrationResponse);
        refreshToken_.reset();
        scope_.reset();
        lastAuthorizationResponse_.reset();
        lastTokenResponse_.reset();
        authorizationError_.reset();
    }
    notifyStateChanged();
}

void AuthState::updateWithAuthorizationResponse(AuthorizationResponsePtr authorizationResponse, OptionalError error) {
    if (error && error->domain() == kOAuthAuthorizationErrorDomain) {
        updateWithAuthorizationError(*error);
        return;
    }
    if (!authorizationResponse) return;
    {
        std::lock_guard lock(mutex_);
        scope_ =
            authorizationResponse->scope() ? authorizationResponse->scope() : authorizationResponse->request()->scope();
        lastAuthorizationResponse_ = std::move(authorizationResponse);
        lastTokenResponse_.reset();
        refreshToken_.reset();
        authorizationError_.reset();
    }
    notifyStateChanged();
}

void AuthState::updateWithTokenResponse(TokenResponsePtr tokenResponse, OptionalError error) {
    {
        std::lock_guard lock(mutex_);
        if (authorizationError_) {
            platform::log(platform::LogLevel::info, "oauth",
                          platform::format("OACAuthState:updateWithTokenResponse should not be called in an error "
                                           "state [%@] callupdateWithAuthorizationResponse with the result of the "
                                           "fresh authorization responsefirst",
                                           {*authorizationError_}));
            authorizationError_.reset();
        }
    }
    if (error && error->domain() == kOAuthTokenErrorDomain) {
        updateWithAuthorizationError(*error);
        return;
    }
    if (!tokenResponse) return;
    {
        std::lock_guard lock(mutex_);
        if (tokenResponse->refreshToken()) refreshToken_ = tokenResponse->refreshToken();
        if (tokenResponse->scope()) scope_ = tokenResponse->scope();
        lastTokenResponse_ = std::move(tokenResponse);
    }
    notifyStateChanged();
}

void AuthState::updateWithAuthorizationError(const Error& authorizationError) {
    {
        std::lock_guard lock(mutex_);
        authorizationError_ = authorizationError;
    }
    notifyStateChanged();
    if (auto delegate = errorDelegate()) delegate->didEncounterAuthorizationError(*this, authorizationError);
}

// Refresh

TokenRequestPtr AuthState::tokenRefreshRequest() const {
    return tokenRefreshRequestWithAdditionalParameters({}, {});
}

TokenRequestPtr AuthState::tokenRefreshRequestWithAdditionalHeaders(const StringMap& additionalHeaders) const {
    return tokenRefreshRequestWithAdditionalParameters({}, additionalHeaders);
}

TokenRequestPtr AuthState::tokenRefreshRequestWithAdditionalParameters(const StringMap& additionalParameters,
                                                                       const StringMap& additionalHeaders) const {
    std::optional<std::string> refreshToken;
    AuthorizationResponsePtr authorization;
    {
        std::lock_guard lock(mutex_);
        refreshToken = refreshToken_;
        authorization = lastAuthorizationResponse_;
    }
    if (!refreshToken || !authorization) ErrorUtilities::raiseException(kNoRefreshTokenException);
    const auto& request = authorization->request();
    return TokenRequest::make(request->configuration(), std::string(kGrantTypeRefreshToken), std::nullopt, std::nullopt,
                              request->clientID(), request->clientSecret(), std::optional<std::string>(), refreshToken,
                              std::nullopt, additionalParameters, additionalHeaders);
}

void AuthState::setNeedsTokenRefresh() {
    std::lock_guard lock(mutex_);
    needsTokenRefresh_ = true;
}

bool AuthState::isTokenFreshLocked() const {
    if (needsTokenRefresh_) return false;
    auto expiry = currentValue<Date>(authorizationError_, lastTokenResponse_, lastAuthorizationResponse_,
                                     &TokenResponse::accessTokenExpirationDate,
                                     &AuthorizationResponse::accessTokenExpirationDate);
    if (expiry) return *expiry - platform::now() > std::chrono::seconds(kExpiryTimeTolerance);
    return currentValue<std::string>(authorizationError_, lastTokenResponse_, lastAuthorizationResponse_,
                                     &TokenResponse::accessToken, &AuthorizationResponse::accessToken)
        .has_value();
}

bool AuthState::isTokenFresh() const {
    std::lock_guard lock(mutex_);
    return isTokenFreshLocked();
}

void AuthState::performActionWithFreshTokens(AuthStateAction action) {
    performActionWithFreshTokens(std::move(action), {});
}

void AuthState::performActionWithFreshTokens(AuthStateAction action, const StringMap& additionalRefreshParameters) {
    performActionWithFreshTokens(std::move(action), additionalRefreshParameters, platform::DispatchQueue::main());
}

void AuthState::performActionWithFreshTokens(AuthStateAction action, const StringMap& additionalRefreshParameters,
                                             DispatchQueuePtr dispatchQueue) {
    if (!dispatchQueue) dispatchQueue = platform::DispatchQueue::main();
    auto self = shared_from_this();
    bool fresh;
    bool canRefresh;
    {
        std::lock_guard lock(mutex_);
        fresh = isTokenFreshLocked();
        canRefresh = refreshToken_.has_value() && lastAuthorizationResponse_ != nullptr;
        if (!fresh && canRefresh) {
            if (pendingActions_) {
                // A refresh is running: this caller shares its result.
                pendingActions_->emplace_back(std::move(action), std::move(dispatchQueue));
                return;
            }
            pendingActions_.emplace();
            pendingActions_->emplace_back(std::move(action), std::move(dispatchQueue));
        }
    }
    if (fresh) {
        dispatchQueue->async([self, action = std::move(action)] {
            auto t = self->tokens();
            action(t.accessToken, t.idToken, std::nullopt);
        });
        return;
    }
    if (!canRefresh) {
        dispatchQueue->async([action = std::move(action)] {
            action(std::nullopt, std::nullopt,
                   ErrorUtilities::errorWithCode(ErrorCode::tokenRefreshError, std::nullopt,
                                                 std::string(kNoRefreshToken)));
        });
        return;
    }
    auto request = tokenRefreshRequestWithAdditionalParameters(additionalRefreshParameters);
    AuthorizationService::performTokenRequest(request, lastAuthorizationResponse(),
                                              [self](TokenResponsePtr response, OptionalError error) {
                                                  self->didRefresh(std::move(response), std::move(error));
                                              });
}

void AuthState::didRefresh(TokenResponsePtr response, OptionalError error) {
    if (response) {
        {
            std::lock_guard lock(mutex_);
            needsTokenRefresh_ = false;
        }
        updateWithTokenResponse(std::move(response), std::nullopt);
    } else if (error && error->domain() == kOAuthTokenErrorDomain) {
        {
            std::lock_guard lock(mutex_);
            needsTokenRefresh_ = false;
        }
        updateWithAuthorizationError(*error);
    } else if (error) {
        auto delegate = errorDelegate();
        if (delegate && delegate->handlesTransientErrors()) delegate->didEncounterTransientError(*this, *error);
    }
    std::vector<AuthStatePendingAction> actions;
    {
        std::lock_guard lock(mutex_);
        if (pendingActions_) actions = std::move(*pendingActions_);
        pendingActions_.reset();
    }
    auto self = shared_from_this();
    for (auto& pending : actions) {
        auto queue = pending.dispatchQueue();
        queue->async([self, pending = std::move(pending), error] {
            auto t = self->tokens();
            pending.action()(t.accessToken, t.idToken, error);
        });
    }
}

// Description and archive

std::string AuthState::description() const {
    auto t = tokens();
    std::lock_guard lock(mutex_);
    bool authorized = !authorizationError_ && (t.accessToken || t.idToken || refreshToken_);
    return platform::format(
        "<OACAuthState: %@, isAuthorized: %@, refreshToken: \"%@\", scope: \"%@\", accessToken: \"%@\", "
        "accessTokenExpirationDate: %@, idToken: \"%@\", lastAuthorizationResponse: %@, lastTokenResponse: %@, "
        "lastRegistrationResponse: %@, authorizationError: %@>",
        {detail::pointerText(this), authorized ? "YES" : "NO", detail::orNull(TokenUtilities::redact(refreshToken_)),
         detail::orNull(scope_), detail::orNull(TokenUtilities::redact(t.accessToken)),
         detail::orNull(currentValue<Date>(authorizationError_, lastTokenResponse_, lastAuthorizationResponse_,
                                           &TokenResponse::accessTokenExpirationDate,
                                           &AuthorizationResponse::accessTokenExpirationDate)),
         detail::orNull(TokenUtilities::redact(t.idToken)), detail::orNull(lastAuthorizationResponse_),
         detail::orNull(lastTokenResponse_), detail::orNull(lastRegistrationResponse_),
         authorizationError_ ? authorizationError_->description() : std::string("(null)")});
}

void AuthState::encodeWithCoder(platform::KeyedArchiver& coder) const {
    std::lock_guard lock(mutex_);
    detail::encodeRecord(coder, lastAuthorizationResponse_, "lastAuthorizationResponse");
    detail::encodeRecord(coder, lastTokenResponse_, "lastTokenResponse");
    if (authorizationError_) coder.encodeObject(archivedError(*authorizationError_), "authorizationError");
    detail::encodeText(coder, scope_, "scope");
    detail::encodeText(coder, refreshToken_, "refreshToken");
    coder.encodeBool(needsTokenRefresh_, "needsTokenRefresh");
}

std::shared_ptr<AuthState> AuthState::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto authorization = detail::decodeRecord<AuthorizationResponse>(coder, "lastAuthorizationResponse");
    auto token = detail::decodeRecord<TokenResponse>(coder, "lastTokenResponse");
    auto state = make(authorization, token);
    Value error = coder.decodeObjectOfClasses(
        platform::archiveClasses<Dictionary, std::string, platform::ArchiveNumber>(), "authorizationError");
    auto scope = detail::decodeText(coder, "scope");
    auto refreshToken = detail::decodeText(coder, "refreshToken");
    bool needsRefresh = coder.decodeBool("needsTokenRefresh");
    // A damaged archive decodes to nothing rather than to a half-read state.
    if (coder.error()) return nullptr;
    std::lock_guard lock(state->mutex_);
    state->authorizationError_ = errorFromArchive(error);
    state->scope_ = std::move(scope);
    state->refreshToken_ = std::move(refreshToken);
    state->needsTokenRefresh_ = needsRefresh;
    return state;
}

}  // namespace brisko::oauth
