// The authorization session: one OAuth state and the user it belongs to; authorizes HTTP requests with
// "Authorization: Bearer <fresh access token>" as the fetcher's authorizer, and archives itself.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fetcher/FetcherAuthorizationProtocol.hpp"
#include "fetcher/SessionFetcherServiceProtocol.hpp"
#include "oauth/AuthState.hpp"
#include "oauth/ServiceConfiguration.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::signin {

inline constexpr std::string_view kAuthSessionErrorDomain = "ETMAuthSessionErrorDomain";
inline constexpr std::string_view kAuthSessionErrorRequestKey = "request";

enum class AuthSessionErrorCode : std::int64_t {
    cannotAuthorizeRequest = 0,
    accessTokenEmptyForRequest = 1,
};
// The code of a raw value 0 or 1; nothing for any other.
std::optional<AuthSessionErrorCode> authSessionErrorCode(std::int64_t raw);

class AuthSession;

// Optional hooks: both have defaults that mean "not offered".
class AuthSessionDelegate {
public:
    virtual ~AuthSessionDelegate() = default;
    // Extra parameters for any token refresh; nothing for none.
    virtual std::optional<oauth::StringMap> additionalTokenRefreshParametersForAuthSession(AuthSession& session) {
        (void)session;
        return std::nullopt;
    }
    // Replaces an error about to be delivered: answer true and call the completion (nothing keeps the
    // original error). Answer false when not offered.
    virtual bool updateErrorForAuthSession(AuthSession& session, const platform::Error& originalError,
                                           std::function<void(platform::OptionalError)> completion) {
        (void)session, (void)originalError, (void)completion;
        return false;
    }
};

class AuthSession : public fetcher::FetcherAuthorizationProtocol, public std::enable_shared_from_this<AuthSession> {
public:
    static constexpr std::string_view kArchiveClassName = "ETMOAuthClient.AuthSession";
    static constexpr std::string_view kSerialQueueLabel = "com.ezevar.etmoauthclient";

    // The ID token's "sub", "email" and "email_verified" claims (when text) take precedence over the
    // user fields given.
    static std::shared_ptr<AuthSession> make(std::shared_ptr<oauth::AuthState> authState,
                                             std::optional<std::string> serviceProvider = std::nullopt,
                                             std::optional<std::string> userID = std::nullopt,
                                             std::optional<std::string> userEmail = std::nullopt,
                                             std::optional<std::string> userEmailIsVerified = std::nullopt);

    // Ezevar's fixed endpoints (authorization on the accounts host, token "/oauth2/v4/token" on the API host).
    static oauth::ServiceConfigurationPtr configurationForEzevar();

    const std::shared_ptr<oauth::AuthState>& authState() const { return authState_; }
    const std::optional<std::string>& serviceProvider() const { return serviceProvider_; }
    const std::optional<std::string>& userID() const { return userID_; }
    const std::optional<std::string>& storedUserEmail() const { return userEmail_; }
    const std::optional<std::string>& storedUserEmailIsVerified() const { return userEmailIsVerified_; }
    bool userEmailIsVerified() const;

    std::shared_ptr<AuthSessionDelegate> delegate() const;
    void setDelegate(std::weak_ptr<AuthSessionDelegate> delegate);

    // The fetcher's authorizer interface.
    bool authorizeRequest(std::shared_ptr<platform::URLRequest> request, Completion completion) override;
    bool authorizeRequest(std::shared_ptr<platform::URLRequest> request,
                          std::shared_ptr<fetcher::FetcherAuthorizationDelegate> delegate) override;
    void stopAuthorization() override;
    void stopAuthorizationForRequest(const platform::URLRequest& request) override;
    bool isAuthorizingRequest(const platform::URLRequest& request) override;
    bool isAuthorizedRequest(const platform::URLRequest& request) override;
    bool canAuthorize() override;
    std::optional<std::string> userEmail() override { return userEmail_; }
    bool shouldAuthorizeAllRequests() override;
    void setShouldAuthorizeAllRequests(bool value) override;
    std::shared_ptr<fetcher::SessionFetcherServiceProtocol> fetcherService() override;
    void setFetcherService(std::weak_ptr<fetcher::SessionFetcherServiceProtocol> service) override;
    // After a 401: marks the state for a refresh when it has a refresh token.
    std::optional<bool> primeForRefresh() override;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Nothing without "authState".
    static std::shared_ptr<AuthSession> initWithCoder(platform::KeyedUnarchiver& coder);

    AuthSession() = delete;

private:
    struct CompletionStyle {
        Completion completion;
    };
    struct DelegateStyle {
        std::weak_ptr<fetcher::FetcherAuthorizationDelegate> delegate;
    };
    struct AuthorizationArguments {
        std::shared_ptr<platform::URLRequest> request;
        std::variant<CompletionStyle, DelegateStyle> callbackStyle;
        platform::OptionalError error;
    };

    AuthSession(std::shared_ptr<oauth::AuthState> authState, std::optional<std::string> serviceProvider,
                std::optional<std::string> userID, std::optional<std::string> userEmail,
                std::optional<std::string> userEmailIsVerified);
    void authorize(AuthorizationArguments arguments);
    void didReceiveTokens(const std::optional<std::string>& accessToken, platform::OptionalError error);
    void decide(AuthorizationArguments& arguments, const std::optional<std::string>& accessToken);
    void answer(AuthorizationArguments arguments);
    void dispatchAnswer(AuthorizationArguments arguments);

    std::shared_ptr<oauth::AuthState> authState_;
    std::optional<std::string> serviceProvider_;
    std::optional<std::string> userID_;
    std::optional<std::string> userEmail_;
    std::optional<std::string> userEmailIsVerified_;

    mutable std::mutex fieldsMutex_;
    bool shouldAuthorizeAllRequests_ = false;
    std::weak_ptr<AuthSessionDelegate> delegate_;
    std::weak_ptr<fetcher::SessionFetcherServiceProtocol> fetcherService_;

    std::shared_ptr<platform::DispatchQueue> serialAuthArgsQueue_;
    std::vector<AuthorizationArguments> authorizationArgs_;  // on serialAuthArgsQueue_ only
};

}  // namespace brisko::signin
