// The Ezevar user's tokens, derived fields, refresh and archive.
#include "signin/EzevarUser.hpp"

#include <chrono>

#include "oauth/ErrorUtilities.hpp"
#include "oauth/IDToken.hpp"
#include "platform/base/Dispatch.hpp"
#include "signin/SignIn.hpp"
#include "signin/SignInError.hpp"
#include "signin/SignInPreferences.hpp"

namespace brisko::signin {

namespace {
constexpr std::string_view kProfileDataKey = "profileData";
constexpr std::string_view kAuthStateKey = "authState";
constexpr std::string_view kAuthenticationKey = "authentication";
constexpr std::string_view kHostedDomainClaim = "hd";
constexpr std::string_view kAudienceParameter = "audience";
constexpr std::string_view kOpenIDRealmParameter = "openid.realm";

std::shared_ptr<const oauth::IDToken> parsedIDToken(const oauth::AuthState& state) {
    auto response = state.lastTokenResponse();
    if (!response || !response->idToken()) return nullptr;
    return oauth::IDToken::initWithIDTokenString(*response->idToken());
}

// Seconds until the date; a missing date counts as 0.
double secondsLeft(const std::optional<platform::Date>& date) {
    if (!date) return 0;
    return std::chrono::duration<double>(*date - std::chrono::system_clock::now()).count();
}

std::optional<std::string> stringParameter(const oauth::StringMap& map, std::string_view key) {
    auto it = map.find(key);
    if (it == map.end()) return std::nullopt;
    return it->second;
}
}  // namespace

std::shared_ptr<EzevarUser> EzevarUser::make(const std::shared_ptr<oauth::AuthState>& authState,
                                             std::shared_ptr<ProfileData> profileData) {
    std::shared_ptr<EzevarUser> user(new EzevarUser(authState, std::move(profileData)));
    authState->setStateChangeDelegate(user);
    user->updateTokensWithAuthState(*authState);
    return user;
}

EzevarUser::EzevarUser(std::shared_ptr<oauth::AuthState> authState, std::shared_ptr<ProfileData> profileData)
    : profile_(std::move(profileData)), fetcherAuthorizer_(AuthSession::make(std::move(authState))) {}

std::shared_ptr<Token> EzevarUser::accessToken() const {
    std::lock_guard lock(mutex_);
    return accessToken_;
}
std::shared_ptr<Token> EzevarUser::refreshToken() const {
    std::lock_guard lock(mutex_);
    return refreshToken_;
}
std::shared_ptr<Token> EzevarUser::idToken() const {
    std::lock_guard lock(mutex_);
    return idToken_;
}

void EzevarUser::updateTokensWithAuthState(const oauth::AuthState& state) {
    std::lock_guard lock(mutex_);
    auto response = state.lastTokenResponse();
    std::shared_ptr<Token> access;
    if (response && response->accessToken())
        access = std::make_shared<Token>(*response->accessToken(), response->accessTokenExpirationDate());
    if (!sameToken(access, accessToken_)) accessToken_ = access;

    // A state without a refresh token yields none (never a token without text).
    std::shared_ptr<Token> refresh;
    if (auto text = state.refreshToken()) refresh = std::make_shared<Token>(*text, std::nullopt);
    if (!sameToken(refresh, refreshToken_)) refreshToken_ = refresh;

    std::shared_ptr<Token> id;
    if (response && response->idToken()) {
        std::optional<platform::Date> expiry;
        if (auto parsed = oauth::IDToken::initWithIDTokenString(*response->idToken())) expiry = parsed->expiresAt();
        id = std::make_shared<Token>(*response->idToken(), expiry);
    }
    if ((id || idToken_) && !sameToken(id, idToken_)) idToken_ = id;
}

void EzevarUser::didChangeState(oauth::AuthState& state) {
    updateTokensWithAuthState(state);
}

std::optional<std::string> EzevarUser::userID() const {
    auto parsed = parsedIDToken(*authState());
    if (!parsed) return std::nullopt;
    return parsed->subject();
}

std::optional<std::string> EzevarUser::hostedDomain() const {
    auto parsed = parsedIDToken(*authState());
    if (!parsed) return std::nullopt;
    auto it = parsed->claims().find(kHostedDomainClaim);
    if (it == parsed->claims().end() || !it->second.string()) return std::nullopt;
    return *it->second.string();
}

std::optional<std::vector<std::string>> EzevarUser::grantedScopes() const {
    auto response = authState()->lastTokenResponse();
    if (!response || !response->scope()) return std::nullopt;
    std::vector<std::string> scopes;
    const std::string& text = *response->scope();
    std::size_t start = text.find_first_not_of(" \t");
    std::size_t end = text.find_last_not_of(" \t");
    if (start == std::string::npos) return scopes;
    std::string_view trimmed(text.data() + start, end - start + 1);
    while (!trimmed.empty()) {
        auto space = trimmed.find(' ');
        auto piece = trimmed.substr(0, space);
        if (!piece.empty()) scopes.emplace_back(piece);
        if (space == std::string_view::npos) break;
        trimmed = trimmed.substr(space + 1);
    }
    return scopes;
}

std::shared_ptr<Configuration> EzevarUser::configuration() {
    std::lock_guard lock(mutex_);
    if (!cachedConfiguration_) {
        auto state = authState();
        std::string clientID;
        if (auto authorization = state->lastAuthorizationResponse(); authorization && authorization->request())
            clientID = authorization->request()->clientID();
        std::optional<std::string> serverClientID, realm;
        if (auto token = state->lastTokenResponse(); token && token->request()) {
            serverClientID = stringParameter(token->request()->additionalParameters(), kAudienceParameter);
            realm = stringParameter(token->request()->additionalParameters(), kOpenIDRealmParameter);
        }
        cachedConfiguration_ = std::make_shared<Configuration>(std::move(clientID), std::move(serverClientID),
                                                               hostedDomain(), std::move(realm));
    }
    return cachedConfiguration_;
}

void EzevarUser::refreshTokensIfNeededWithCompletion(RefreshCompletion completion) {
    auto self = shared_from_this();
    auto access = accessToken();
    auto id = idToken();
    const bool accessFresh = access && secondsLeft(access->expirationDate()) >= kMinimalTimeToExpire;
    const bool idFresh = !id || secondsLeft(id->expirationDate()) >= kMinimalTimeToExpire;
    if (accessFresh && idFresh) {
        platform::DispatchQueue::main()->async(
            [self, completion = std::move(completion)] { completion(self, std::nullopt); });
        return;
    }
    std::size_t waiting;
    {
        std::lock_guard lock(refreshMutex_);
        tokenRefreshHandlerQueue_.push_back(std::move(completion));
        waiting = tokenRefreshHandlerQueue_.size();
    }
    if (waiting != 1) return;

    auto state = authState();
    // Without a refresh token no refresh can be asked for: every waiter learns so, and signs in again.
    if (!state->refreshToken()) {
        finishRefresh(noRefreshTokenError());
        return;
    }
    oauth::StringMap extra;
    if (auto response = state->lastTokenResponse(); response && response->request())
        extra = response->request()->additionalParameters();
    extra[std::string(kVersionTagKey)] = versionTag();
    extra[std::string(kEnvironmentTagKey)] = environmentTag();
    auto request = state->tokenRefreshRequestWithAdditionalParameters(extra);
    oauth::AuthorizationService::performTokenRequest(
        request, state->lastAuthorizationResponse(),
        [self, state](oauth::TokenResponsePtr response, platform::OptionalError error) {
            if (response) {
                state->updateWithTokenResponse(response, std::nullopt);
            } else if (error && error->domain() == oauth::kOAuthTokenErrorDomain) {
                state->updateWithAuthorizationError(*error);
            }
            self->finishRefresh(error);
        });
}

void EzevarUser::finishRefresh(const platform::OptionalError& error) {
    std::vector<RefreshCompletion> waiting;
    {
        std::lock_guard lock(refreshMutex_);
        waiting.swap(tokenRefreshHandlerQueue_);
    }
    auto self = shared_from_this();
    for (auto& completion : waiting) {
        platform::DispatchQueue::main()->async([self, error, completion = std::move(completion)] {
            if (error) {
                completion(nullptr, error);
            } else {
                completion(self, std::nullopt);
            }
        });
    }
}

void EzevarUser::addScopes(const std::vector<std::string>& scopes, PresentingWindow window,
                           SignInCompletion completion) {
    auto& signIn = SignIn::sharedInstance();
    if (signIn.currentUser().get() == this) {
        signIn.addScopes(scopes, window, std::move(completion));
        return;
    }
    if (completion)
        platform::DispatchQueue::main()->async([completion = std::move(completion)] {
            completion(nullptr, signInError(SignInErrorCode::mismatchWithCurrentUser));
        });
}

void EzevarUser::updateWithTokenResponse(oauth::TokenResponsePtr tokenResponse,
                                         oauth::AuthorizationResponsePtr authorizationResponse,
                                         std::shared_ptr<ProfileData> profileData) {
    std::lock_guard lock(mutex_);
    profile_ = std::move(profileData);
    auto state = authState();
    state->setStateChangeDelegate(std::weak_ptr<oauth::AuthStateChangeDelegate>());
    state->updateWithAuthorizationResponse(std::move(authorizationResponse), std::nullopt);
    state->setStateChangeDelegate(weak_from_this());
    state->updateWithTokenResponse(std::move(tokenResponse), std::nullopt);
}

void EzevarUser::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(profile_, kProfileDataKey);
    coder.encodeObject(authState(), kAuthStateKey);
}

std::shared_ptr<EzevarUser> EzevarUser::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto profile = coder.decodeObjectOfClass<ProfileData>(kProfileDataKey);
    auto state = coder.decodeObjectOfClass<oauth::AuthState>(kAuthStateKey);
    if (!state) {
        if (auto legacy = coder.decodeObjectOfClass<Authentication>(kAuthenticationKey)) state = legacy->authState();
    }
    if (!state) return nullptr;
    return make(std::move(state), std::move(profile));
}

void Authentication::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(authState_, "authState");
}

std::shared_ptr<Authentication> Authentication::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto state = coder.decodeObjectOfClass<oauth::AuthState>("authState");
    if (!state) return nullptr;
    return std::make_shared<Authentication>(std::move(state));
}

}  // namespace brisko::signin
