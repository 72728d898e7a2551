// The proof of a TOTP factor: a one-time password with the secret being enrolled or the enrolled
// factor's ID.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "auth/providers/MultiFactorAssertion.hpp"
#include "auth/providers/MultiFactorInfo.hpp"
#include "auth/providers/TOTPSecret.hpp"

namespace brisko::auth {

class TOTPMultiFactorAssertion final : public MultiFactorAssertion {
  public:
    // The secret of an enrolment in progress, or the enrolment ID of a factor to sign in with.
    using SecretOrID = std::variant<std::shared_ptr<const TOTPSecret>, std::string>;

    TOTPMultiFactorAssertion(SecretOrID secretOrID, std::string oneTimePassword)
        : MultiFactorAssertion(kTOTPMultiFactorID), oneTimePassword_(std::move(oneTimePassword)),
          secretOrID_(std::move(secretOrID)) {}

    const std::string& oneTimePassword() const { return oneTimePassword_; }
    const SecretOrID& secretOrID() const { return secretOrID_; }
    // The secret or the enrolment ID, whichever the assertion holds (nullptr for the other).
    const TOTPSecret* secret() const {
        const auto* s = std::get_if<std::shared_ptr<const TOTPSecret>>(&secretOrID_);
        return s ? s->get() : nullptr;
    }
    const std::string* enrollmentID() const { return std::get_if<std::string>(&secretOrID_); }

  private:
    std::string oneTimePassword_;
    SecretOrID secretOrID_;
};

}  // namespace brisko::auth
