// Fixtures of the sign-in tests.
#include "tests/signin/SigninTestSupport.hpp"

#include <fstream>

#include <doctest/doctest.h>

#include <nlohmann/json.hpp>

#include "oauth/AuthorizationRequest.hpp"
#include "oauth/TokenUtilities.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "signin/SignInCallbackSchemes.hpp"

namespace brisko::testing {

SignInEnvironment::SignInEnvironment(std::optional<std::string> clientID, std::optional<std::string> declaredScheme,
                                     TestKeychain keychainKind) {
    if (keychainKind == TestKeychain::inMemory) keychain = std::make_shared<platform::InMemoryKeychain>();
    platform::Keychain::setDefaultKeychain(keychain);
    platform::UserDefaults::Store::setShared(platform::UserDefaults::Store::inMemory());
    folder = std::filesystem::temp_directory_path() / ("brisko-signin-" + std::to_string(::getpid()) + "-" +
                                                       std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(folder);
    std::string scheme = declaredScheme ? *declaredScheme
                         : clientID     ? signin::SignInCallbackSchemes(*clientID).clientIdentifierScheme()
                                        : std::string("brisko");
    std::ofstream plist(folder / "Info.plist");
    plist << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
          << "<key>CFBundleIdentifier</key><string>com.brisko.desktop.tests</string>"
          << "<key>CFBundleName</key><string>Brisko Desktop</string>";
    if (clientID) plist << "<key>EIDClientID</key><string>" << *clientID << "</string>";
    plist
        << "<key>CFBundleURLTypes</key><array><dict><key>CFBundleURLSchemes</key><array><string>brisko</string><string>"
        << scheme << "</string></array></dict></array></dict></plist>";
    plist.close();
    platform::Bundle::setMain(std::make_shared<platform::Bundle>(folder));
}

SignInEnvironment::~SignInEnvironment() {
    platform::Bundle::setMain(nullptr);
    platform::Keychain::setDefaultKeychain(nullptr);
    platform::UserDefaults::Store::setShared(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

void requireSecretService() {
    auto keychain = platform::Keychain::defaultKeychain();
    INFO("the keyring tests run through scripts/with-keyring.sh (ctest -R keychain)");
    REQUIRE(keychain->backendName() == "Secret Service");
}

std::string makeIDToken(const std::map<std::string, std::string>& textClaims, std::chrono::seconds expiresIn,
                        bool emailVerifiedAsBoolean) {
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    nlohmann::json claims = {{"iss", "https://accounts.ezevar.com"},
                             {"aud", "client"},
                             {"iat", now.count()},
                             {"exp", (now + expiresIn).count()}};
    if (!textClaims.contains("sub")) claims["sub"] = "subject-1";
    for (const auto& [k, v] : textClaims) claims[k] = v;
    if (emailVerifiedAsBoolean) claims["email_verified"] = true;
    auto encode = [](const std::string& s) {
        return oauth::TokenUtilities::encodeBase64urlNoPadding(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
    };
    return encode(R"({"alg":"none","typ":"JWT"})") + "." + encode(claims.dump()) + ".c2ln";
}

std::shared_ptr<oauth::AuthState> makeAuthState(const StateTokens& tokens) {
    auto endpoint = *platform::URL::parse(tokens.tokenEndpoint);
    auto configuration = std::make_shared<const oauth::ServiceConfiguration>(
        *platform::URL::parse("https://accounts.ezevar.com/o/oauth2/v2/auth"), endpoint);
    auto request = oauth::AuthorizationRequest::make(
        configuration, "client.apps.ezevarusercontent.com", std::nullopt, std::vector<std::string>{"email", "profile"},
        platform::URL::parse("com.ezevarusercontent.apps.client:/oauth2callback"), "code", {});
    auto authorization =
        oauth::AuthorizationResponse::make(request, {{"code", "code-1"}, {"state", *request->state()}});
    auto tokenRequest = authorization->tokenExchangeRequestWithAdditionalParameters({});
    platform::Dictionary parameters{{"token_type", "Bearer"},
                                    {"expires_in", static_cast<std::int64_t>(tokens.expiresIn.count())}};
    if (tokens.accessToken) parameters["access_token"] = *tokens.accessToken;
    if (tokens.refreshToken) parameters["refresh_token"] = *tokens.refreshToken;
    if (tokens.idToken) parameters["id_token"] = *tokens.idToken;
    if (tokens.scope) parameters["scope"] = *tokens.scope;
    return oauth::AuthState::make(authorization, oauth::TokenResponse::make(tokenRequest, parameters));
}

}  // namespace brisko::testing
