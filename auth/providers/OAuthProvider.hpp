// The generic OAuth provider: credential factories from tokens the caller holds, and a provider's
// configuration (scopes, custom parameters, the URL scheme a web sign-in would return on). This desktop
// offers no interactive sign-in through it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auth/providers/AuthProviderID.hpp"
#include "auth/providers/OAuthCredential.hpp"

namespace brisko::auth {

class Auth;

inline constexpr std::string_view kFacebookGenericIDPMessage =
    "Sign in with Facebook is not supported via generic IDP; the Facebook TOS dictate that you must use the "
    "Facebook iOS SDK for Facebook login.";
inline constexpr std::string_view kAppleGenericIDPMessage =
    "Sign in with Apple is not supported via generic IDP; You must use the Apple SDK for Sign in with Apple.";
inline constexpr std::string_view kMissingAppIDForCallbackSchemeMessage =
    "Missing ezevarAppID for constructing callbackScheme";
inline constexpr std::string_view kAppCallbackSchemePrefix = "app-";

class OAuthProvider {
  public:
    static constexpr std::string_view id = kOAuthProviderID;

    // Stops the process for the Facebook and Apple identifiers (unless the client talks to an emulator)
    // and when the client's app is gone.
    OAuthProvider(std::string providerID, std::shared_ptr<Auth> auth);
    // The provider for the default app's identity client.
    static std::shared_ptr<OAuthProvider> provider(std::string providerID);
    static std::shared_ptr<OAuthProvider> provider(const AuthProviderID& providerID) {
        return provider(providerID.rawValue);
    }
    static std::shared_ptr<OAuthProvider> provider(std::string providerID, std::shared_ptr<Auth> auth) {
        return std::make_shared<OAuthProvider>(std::move(providerID), std::move(auth));
    }
    static std::shared_ptr<OAuthProvider> provider(const AuthProviderID& providerID, std::shared_ptr<Auth> auth) {
        return provider(providerID.rawValue, std::move(auth));
    }

    // Credentials from tokens the caller already holds; every other field is absent.
    static std::shared_ptr<OAuthCredential> credential(std::string providerID, std::string idToken,
                                                       std::optional<std::string> accessToken);
    static std::shared_ptr<OAuthCredential> credential(std::string providerID, std::string accessToken);
    static std::shared_ptr<OAuthCredential> credential(std::string providerID, std::string idToken,
                                                       std::string rawNonce, std::optional<std::string> accessToken);
    static std::shared_ptr<OAuthCredential> credentialWithRawNonce(std::string providerID, std::string idToken,
                                                                   std::string rawNonce);
    static std::shared_ptr<OAuthCredential> credential(const AuthProviderID& providerID, std::string idToken,
                                                       std::optional<std::string> accessToken) {
        return credential(providerID.rawValue, std::move(idToken), std::move(accessToken));
    }
    static std::shared_ptr<OAuthCredential> credential(const AuthProviderID& providerID, std::string accessToken) {
        return credential(providerID.rawValue, std::move(accessToken));
    }
    static std::shared_ptr<OAuthCredential> credential(const AuthProviderID& providerID, std::string idToken,
                                                       std::string rawNonce, std::optional<std::string> accessToken) {
        return credential(providerID.rawValue, std::move(idToken), std::move(rawNonce), std::move(accessToken));
    }
    static std::shared_ptr<OAuthCredential> appleCredential(std::string idToken, std::optional<std::string> rawNonce,
                                                            std::optional<platform::PersonNameComponents> fullName);

    const std::optional<std::vector<std::string>>& scopes() const { return scopes_; }
    void setScopes(std::optional<std::vector<std::string>> scopes) { scopes_ = std::move(scopes); }
    const std::optional<std::map<std::string, std::string>>& customParameters() const { return customParameters_; }
    void setCustomParameters(std::optional<std::map<std::string, std::string>> parameters) {
        customParameters_ = std::move(parameters);
    }
    const std::string& providerID() const { return providerID_; }
    const std::shared_ptr<Auth>& auth() const { return auth_; }
    const std::string& callbackScheme() const { return callbackScheme_; }
    bool usingClientIDScheme() const { return usingClientIDScheme_; }

  private:
    // Not locked: one provider object is used from one thread at a time.
    std::optional<std::vector<std::string>> scopes_;
    std::optional<std::map<std::string, std::string>> customParameters_;
    std::string providerID_;
    std::shared_ptr<Auth> auth_;
    std::string callbackScheme_;
    bool usingClientIDScheme_ = false;
};

}  // namespace brisko::auth
