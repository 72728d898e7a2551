// Makes sign-in errors.
#include "signin/SignInError.hpp"

#include "oauth/ErrorUtilities.hpp"

namespace brisko::signin {

platform::Error signInError(SignInErrorCode code, std::optional<std::string> description,
                            std::optional<platform::Error> underlying) {
    platform::Dictionary info;
    if (description) info[std::string(platform::kLocalizedDescriptionKey)] = std::move(*description);
    if (underlying) info[std::string(platform::kUnderlyingErrorKey)] = platform::Value(*underlying);
    return platform::Error(std::string(kSignInErrorDomain), static_cast<std::int64_t>(code), std::move(info));
}

platform::Error noRefreshTokenError() {
    return oauth::ErrorUtilities::errorWithCode(oauth::ErrorCode::tokenRefreshError, std::nullopt,
                                                std::string(kNoRefreshTokenDescription));
}

}  // namespace brisko::signin
