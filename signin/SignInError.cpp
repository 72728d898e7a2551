// Makes sign-in errors.
#include "signin/SignInError.hpp"

namespace brisko::signin {

platform::Error signInError(SignInErrorCode code, std::optional<std::string> description,
                            std::optional<platform::Error> underlying) {
    platform::Dictionary info;
    if (description) info[std::string(platform::kLocalizedDescriptionKey)] = std::move(*description);
    if (underlying) info[std::string(platform::kUnderlyingErrorKey)] = platform::Value(*underlying);
    return platform::Error(std::string(kSignInErrorDomain), static_cast<std::int64_t>(code), std::move(info));
}

}  // namespace brisko::signin
