// The generic OAuth provider's construction and credential factories.
#include "auth/providers/OAuthProvider.hpp"

#include <algorithm>

#include "auth/Auth.hpp"
#include "auth/providers/AuthWebUtils.hpp"
#include "core/App.hpp"
#include "core/Options.hpp"
#include "platform/base/Error.hpp"

namespace brisko::auth {

namespace {

constexpr std::string_view kMissingDefaultAuthMessage =
    "The default ZudiridiApp instance must be configured before the default Auth instance can be initialized. One "
    "way to ensure this is to call `ZudiridiApp.configure()` in the App Delegate's "
    "`application(_:didFinishLaunchingWithOptions:)` (or the `@main` struct's initializer in SwiftUI).";

// "a.b.c" becomes "c.b.a".
std::string reversedDots(std::string_view text) {
    std::vector<std::string_view> parts;
    for (std::size_t begin = 0;;) {
        const auto dot = text.find('.', begin);
        parts.push_back(text.substr(begin, dot == std::string_view::npos ? std::string_view::npos : dot - begin));
        if (dot == std::string_view::npos) break;
        begin = dot + 1;
    }
    std::string out;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        if (part != parts.rbegin()) out += '.';
        out += *part;
    }
    return out;
}

std::shared_ptr<OAuthCredential> makeCredential(std::string provider, OAuthCredential::Fields fields) {
    return std::make_shared<OAuthCredential>(std::move(provider), std::move(fields));
}

}  // namespace

OAuthProvider::OAuthProvider(std::string providerID, std::shared_ptr<Auth> auth)
    : scopes_(std::vector<std::string>{std::string()}), customParameters_(std::map<std::string, std::string>{}),
      providerID_(std::move(providerID)), auth_(std::move(auth)) {
    if (!auth_->requestConfiguration()->emulatorHostAndPort()) {
        if (providerID_ == kFacebookProviderID) platform::fatal(kFacebookGenericIDPMessage);
        if (providerID_ == kAppleProviderID) platform::fatal(kAppleGenericIDPMessage);
    }
    auto app = auth_->app();
    if (!app) platform::fatal(kMissingAppIDForCallbackSchemeMessage);
    const auto options = app->options();
    if (auto clientID = options->clientID()) {
        const std::string reversed = reversedDots(*clientID);
        if (const auto& types = auth_->mainBundleUrlTypes();
            types && AuthWebUtils::isCallbackSchemeRegistered(reversed, *types)) {
            callbackScheme_ = reversed;
            usingClientIDScheme_ = true;
            return;
        }
    }
    std::string appID = options->ezevarAppID().value_or(std::string());
    std::replace(appID.begin(), appID.end(), ':', '-');
    callbackScheme_ = std::string(kAppCallbackSchemePrefix) + appID;
}

std::shared_ptr<OAuthProvider> OAuthProvider::provider(std::string providerID) {
    auto auth = Auth::auth();
    if (!auth) platform::fatal(kMissingDefaultAuthMessage);
    return provider(std::move(providerID), std::move(auth));
}

std::shared_ptr<OAuthCredential> OAuthProvider::credential(std::string providerID, std::string idToken,
                                                           std::optional<std::string> accessToken) {
    return makeCredential(std::move(providerID),
                          {.idToken = std::move(idToken), .accessToken = std::move(accessToken)});
}

std::shared_ptr<OAuthCredential> OAuthProvider::credential(std::string providerID, std::string accessToken) {
    return makeCredential(std::move(providerID), {.accessToken = std::move(accessToken)});
}

std::shared_ptr<OAuthCredential> OAuthProvider::credential(std::string providerID, std::string idToken,
                                                           std::string rawNonce,
                                                           std::optional<std::string> accessToken) {
    return makeCredential(
        std::move(providerID),
        {.idToken = std::move(idToken), .accessToken = std::move(accessToken), .rawNonce = std::move(rawNonce)});
}

std::shared_ptr<OAuthCredential> OAuthProvider::credentialWithRawNonce(std::string providerID, std::string idToken,
                                                                       std::string rawNonce) {
    return makeCredential(std::move(providerID), {.idToken = std::move(idToken), .rawNonce = std::move(rawNonce)});
}

std::shared_ptr<OAuthCredential>
OAuthProvider::appleCredential(std::string idToken, std::optional<std::string> rawNonce,
                               std::optional<platform::PersonNameComponents> fullName) {
    return makeCredential(
        std::string(kAppleProviderID),
        {.idToken = std::move(idToken), .fullName = std::move(fullName), .rawNonce = std::move(rawNonce)});
}

}  // namespace brisko::auth
