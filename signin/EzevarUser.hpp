// The signed-in Ezevar user: its OAuth state (held by an authorization session), its three tokens, its
// profile and configuration; refreshes its own tokens, one refresh for any number of waiting callers.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "oauth/AuthState.hpp"
#include "platform/base/Error.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"
#include "signin/Configuration.hpp"
#include "signin/ProfileData.hpp"
#include "signin/SignInResult.hpp"
#include "signin/Token.hpp"
#include "signin/session/AuthSession.hpp"

namespace brisko::signin {

using PresentingWindow = oauth::PresentingWindow;
using SignInCompletion = std::function<void(std::shared_ptr<SignInResult>, platform::OptionalError)>;

class EzevarUser : public oauth::AuthStateChangeDelegate, public std::enable_shared_from_this<EzevarUser> {
public:
    static constexpr std::string_view kArchiveClassName = "EIDEzevarUser";
    // A token with less than this many seconds left is refreshed.
    static constexpr int kMinimalTimeToExpire = 60;

    using RefreshCompletion = std::function<void(std::shared_ptr<EzevarUser>, platform::OptionalError)>;

    static std::shared_ptr<EzevarUser> make(const std::shared_ptr<oauth::AuthState>& authState,
                                            std::shared_ptr<ProfileData> profileData);

    const std::shared_ptr<ProfileData>& profile() const { return profile_; }
    std::shared_ptr<Token> accessToken() const;
    std::shared_ptr<Token> refreshToken() const;
    std::shared_ptr<Token> idToken() const;
    const std::shared_ptr<AuthSession>& fetcherAuthorizer() const { return fetcherAuthorizer_; }
    const std::shared_ptr<oauth::AuthState>& authState() const { return fetcherAuthorizer_->authState(); }

    std::optional<std::string> userID() const;
    std::optional<std::string> hostedDomain() const;
    std::optional<std::vector<std::string>> grantedScopes() const;
    std::shared_ptr<Configuration> configuration();

    // Calls the completion on the main queue with this user once its tokens have 60 s or more left,
    // refreshing them first when needed. Callers arriving during a refresh share it.
    void refreshTokensIfNeededWithCompletion(RefreshCompletion completion);
    // Asks the sign-in layer for more scopes when this user is its current user; else -9.
    void addScopes(const std::vector<std::string>& scopes, PresentingWindow window, SignInCompletion completion);
    // The result of an add-scopes flow: a new profile and the new responses.
    void updateWithTokenResponse(oauth::TokenResponsePtr tokenResponse,
                                 oauth::AuthorizationResponsePtr authorizationResponse,
                                 std::shared_ptr<ProfileData> profileData);
    void updateTokensWithAuthState(const oauth::AuthState& authState);
    void didChangeState(oauth::AuthState& state) override;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<EzevarUser> initWithCoder(platform::KeyedUnarchiver& coder);

private:
    EzevarUser(std::shared_ptr<oauth::AuthState> authState, std::shared_ptr<ProfileData> profileData);
    void finishRefresh(const platform::OptionalError& error);

    mutable std::recursive_mutex mutex_;  // the user's own lock (configuration, add-scopes update, tokens)
    std::shared_ptr<Configuration> cachedConfiguration_;
    std::mutex refreshMutex_;
    std::vector<RefreshCompletion> tokenRefreshHandlerQueue_;
    std::shared_ptr<ProfileData> profile_;
    std::shared_ptr<Token> accessToken_;
    std::shared_ptr<Token> refreshToken_;
    std::shared_ptr<Token> idToken_;
    std::shared_ptr<AuthSession> fetcherAuthorizer_;
};

// The legacy wrapper of older archives: only its state is read.
class Authentication {
public:
    static constexpr std::string_view kArchiveClassName = "EIDAuthentication";
    explicit Authentication(std::shared_ptr<oauth::AuthState> authState) : authState_(std::move(authState)) {}
    const std::shared_ptr<oauth::AuthState>& authState() const { return authState_; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<Authentication> initWithCoder(platform::KeyedUnarchiver& coder);

private:
    std::shared_ptr<oauth::AuthState> authState_;
};

}  // namespace brisko::signin
