// The error domain and codes of Ezevar sign-in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Error.hpp"

namespace brisko::signin {

inline constexpr std::string_view kSignInErrorDomain = "com.ezevar.EIDSignIn";

enum class SignInErrorCode : std::int64_t {
    unknown = -1,
    keychain = -2,
    hasNoAuthInKeychain = -4,
    canceled = -5,
    claimsConflict = -7,
    scopesAlreadyGranted = -8,
    mismatchWithCurrentUser = -9,
    jsonSerializationFailure = -10,
};

inline constexpr std::string_view kUnknownErrorDescription = "Unknown error";
inline constexpr std::string_view kKeychainErrorDescription = "keychain error";
inline constexpr std::string_view kUserCanceledDescription = "The user canceled the sign-in flow.";
inline constexpr std::string_view kAccessDeniedError = "access_denied";
inline constexpr std::string_view kClaimsConflictDescription =
    "The claim was requested as both essential and non-essential. Please provide only one version.";
inline constexpr std::string_view kJSONSerializationFailureDescription =
    "The provided object could not be serialized to a JSON string.";
// A sign-in whose token reply carried no refresh token cannot renew its tokens once they expire: the
// user signs in again. The same error as the OAuth state's own fresh-token action gives.
inline constexpr std::string_view kNoRefreshTokenDescription =
    "Unable to refresh expired token without a refresh token.";

// An error of the sign-in domain; the description goes under the localized-description key when given,
// the cause under the underlying-error key.
platform::Error signInError(SignInErrorCode code, std::optional<std::string> description = std::nullopt,
                            std::optional<platform::Error> underlying = std::nullopt);

// The OAuth client's token-refresh error (domain "org.oauthclient.general") for a state without a
// refresh token.
platform::Error noRefreshTokenError();

}  // namespace brisko::signin
