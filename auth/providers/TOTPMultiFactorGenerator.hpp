// Makes TOTP assertions and asks the identity service for a new TOTP secret.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "auth/providers/MultiFactorSession.hpp"
#include "auth/providers/TOTPMultiFactorAssertion.hpp"
#include "auth/providers/TOTPSecret.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/Error.hpp"

namespace brisko::auth {

inline constexpr std::string_view kInvalidIDTokenMessage = "Invalid ID token.";
inline constexpr std::string_view kErrorGeneratingTOTPSecretMessage = "Error generating TOTP secret.";

class TOTPMultiFactorGenerator {
  public:
    using SecretCallback = std::function<void(std::shared_ptr<TOTPSecret>, platform::OptionalError)>;

    static std::shared_ptr<TOTPMultiFactorAssertion> assertionForEnrollment(std::shared_ptr<const TOTPSecret> secret,
                                                                            std::string oneTimePassword) {
        return std::make_shared<TOTPMultiFactorAssertion>(std::move(secret), std::move(oneTimePassword));
    }
    static std::shared_ptr<TOTPMultiFactorAssertion> assertionForSignIn(std::string enrollmentID,
                                                                        std::string oneTimePassword) {
        return std::make_shared<TOTPMultiFactorAssertion>(std::move(enrollmentID), std::move(oneTimePassword));
    }

    // Asks the service for a secret for the session's user. Completes exactly once, never on the main
    // queue: at once on the caller's thread with 17999 "Invalid ID token." when the session has no user
    // or its identity client is gone (a resolver's session always), else on the task's thread with the
    // secret, the service's error, or 17999 "Error generating TOTP secret." for a reply without one.
    static void generateSecret(const std::shared_ptr<MultiFactorSession>& session, SecretCallback completion);
    static platform::Task<std::shared_ptr<TOTPSecret>> generateSecret(std::shared_ptr<MultiFactorSession> session);
};

}  // namespace brisko::auth
