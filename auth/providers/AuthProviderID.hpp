// Provider identifiers: the names under which the identity service knows each sign-in provider.
#pragma once

#include <string>
#include <string_view>

namespace brisko::auth {

inline constexpr std::string_view kEmailProviderID = "password";
inline constexpr std::string_view kPhoneProviderID = "phone";
inline constexpr std::string_view kEzevarProviderID = "ezevar.com";
inline constexpr std::string_view kFacebookProviderID = "facebook.com";
inline constexpr std::string_view kGitHubProviderID = "github.com";
inline constexpr std::string_view kTwitterProviderID = "twitter.com";
inline constexpr std::string_view kGameCenterProviderID = "gc.apple.com";
inline constexpr std::string_view kAppleProviderID = "apple.com";
// The provider of a generic OAuth credential whose provider is not known.
inline constexpr std::string_view kOAuthProviderID = "OAuth";

// A provider identifier; two are equal when their texts are.
struct AuthProviderID {
    std::string rawValue;

    static AuthProviderID custom(std::string_view text) { return {std::string(text)}; }
    static AuthProviderID email() { return custom(kEmailProviderID); }
    static AuthProviderID phone() { return custom(kPhoneProviderID); }
    static AuthProviderID ezevar() { return custom(kEzevarProviderID); }
    static AuthProviderID facebook() { return custom(kFacebookProviderID); }
    static AuthProviderID gitHub() { return custom(kGitHubProviderID); }
    static AuthProviderID gameCenter() { return custom(kGameCenterProviderID); }
    static AuthProviderID apple() { return custom(kAppleProviderID); }

    bool operator==(const AuthProviderID&) const = default;
};

}  // namespace brisko::auth
