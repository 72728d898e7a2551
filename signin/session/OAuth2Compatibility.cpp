// Writing and reading the legacy persistence text.
#include "signin/session/OAuth2Compatibility.hpp"

#include <map>
#include <vector>

#include "oauth/AuthorizationRequest.hpp"
#include "oauth/AuthorizationResponse.hpp"
#include "oauth/TokenRequest.hpp"
#include "oauth/TokenResponse.hpp"
#include "signin/SignInPreferences.hpp"
#include "signin/session/KeychainStoreError.hpp"

namespace brisko::signin {

namespace {
constexpr std::string_view kAccessTokenKey = "access_token";
constexpr std::string_view kRefreshTokenKey = "refresh_token";
constexpr std::string_view kScopeKey = "scope";
constexpr std::string_view kServiceProviderKey = "serviceProvider";
constexpr std::string_view kUserEmailKey = "userEmail";
constexpr std::string_view kUserEmailIsVerifiedKey = "userEmailIsVerified";
constexpr std::string_view kUserIDKey = "userID";
constexpr std::string_view kResponseTypeCode = "code";
constexpr std::string_view kGrantTypeToken = "token";
constexpr std::string_view kLegacyTokenPath = "/oauth2/v4/token";
// Characters of a URL query that are escaped all the same.
constexpr std::string_view kEscapedCharacters = "!*'();:@&=+$,/?%#[]";

const platform::CharacterSet& allowedCharacters() {
    static const platform::CharacterSet set = platform::CharacterSet::urlQueryAllowed().without(kEscapedCharacters);
    return set;
}
}  // namespace

platform::URL OAuth2Compatibility::ezevarTokenURL() {
    return *platform::URL::parse("https://" + SignInPreferences::ezevarAPIServer() + std::string(kLegacyTokenPath));
}

std::optional<std::string> OAuth2Compatibility::persistenceResponseStringForAuthSession(const AuthSession& session) {
    const auto& state = session.authState();
    std::map<std::string, std::optional<std::string>> pairs;  // sorted by key
    auto token = state->lastTokenResponse();
    pairs[std::string(kAccessTokenKey)] = token ? token->accessToken() : std::nullopt;
    pairs[std::string(kRefreshTokenKey)] = state->refreshToken();
    pairs[std::string(kScopeKey)] = state->scope();
    pairs[std::string(kServiceProviderKey)] = session.serviceProvider();
    pairs[std::string(kUserEmailKey)] = session.storedUserEmail();
    pairs[std::string(kUserEmailIsVerifiedKey)] = session.storedUserEmailIsVerified();
    pairs[std::string(kUserIDKey)] = session.userID();

    std::string result;
    for (const auto& [key, value] : pairs) {
        if (!value) continue;
        if (!result.empty()) result += '&';
        result += platform::percentEncode(key, allowedCharacters());
        result += '=';
        result += platform::percentEncode(*value, allowedCharacters());
    }
    if (result.empty()) return std::nullopt;
    return result;
}

std::shared_ptr<AuthSession> OAuth2Compatibility::authSessionForPersistenceString(
    std::string_view persistenceString, const platform::URL& tokenURL, std::string_view redirectURI,
    const std::string& clientID, const std::optional<std::string>& clientSecret, platform::OptionalError& error) {
    // Split at "&", then at "="; the key is the first part and the value the last. A repeated key keeps
    // its first value (the stored form never repeats one).
    platform::Dictionary table;
    std::string_view rest = persistenceString;
    while (true) {
        auto amp = rest.find('&');
        std::string_view piece = rest.substr(0, amp);
        if (!piece.empty() || amp != std::string_view::npos) {
            auto firstEq = piece.find('=');
            auto lastEq = piece.rfind('=');
            std::string_view key = piece.substr(0, firstEq);
            std::string_view value = lastEq == std::string_view::npos ? piece : piece.substr(lastEq + 1);
            auto k = platform::percentDecode(key);
            auto v = platform::percentDecode(value);
            if (k && v && !table.contains(*k)) table.emplace(std::move(*k), platform::Value(std::move(*v)));
        }
        if (amp == std::string_view::npos) break;
        rest = rest.substr(amp + 1);
    }
    auto redirectURL = platform::URL::parse(redirectURI);
    if (!redirectURL) {
        error = KeychainStoreError::failedToConvertRedirectURItoURL(std::string(redirectURI));
        return nullptr;
    }
    auto text = [&](std::string_view key) -> std::optional<std::string> {
        auto it = table.find(key);
        if (it == table.end() || !it->second.string()) return std::nullopt;
        return *it->second.string();
    };

    auto configuration = std::make_shared<const oauth::ServiceConfiguration>(tokenURL, tokenURL);
    auto request = oauth::AuthorizationRequest::make(configuration, clientID, clientSecret, text(kScopeKey),
                                                     redirectURL, std::string(kResponseTypeCode), std::nullopt,
                                                     std::nullopt, std::nullopt, std::nullopt, std::nullopt, {});
    auto authorizationResponse = oauth::AuthorizationResponse::make(request, table);
    oauth::StringMap extra;
    for (const auto& [key, value] : table)
        if (key != kScopeKey && key != kRefreshTokenKey && value.string()) extra.emplace(key, *value.string());
    auto tokenRequest = oauth::TokenRequest::make(configuration, std::string(kGrantTypeToken), std::nullopt,
                                                  redirectURL, clientID, clientSecret, text(kScopeKey),
                                                  text(kRefreshTokenKey), std::nullopt, std::move(extra));
    auto tokenResponse = oauth::TokenResponse::make(tokenRequest, table);
    auto state = oauth::AuthState::make(authorizationResponse, tokenResponse);
    state->setNeedsTokenRefresh();
    return AuthSession::make(std::move(state), text(kServiceProviderKey), text(kUserIDKey), text(kUserEmailKey),
                             text(kUserEmailIsVerifiedKey));
}

}  // namespace brisko::signin
