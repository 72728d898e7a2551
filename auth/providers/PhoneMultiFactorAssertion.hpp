// The proof of a phone factor: a phone credential of the verification kind.
#pragma once

#include <memory>

#include "auth/providers/MultiFactorAssertion.hpp"
#include "auth/providers/MultiFactorInfo.hpp"
#include "auth/providers/PhoneAuthCredential.hpp"

namespace brisko::auth {

class PhoneMultiFactorAssertion final : public MultiFactorAssertion {
  public:
    explicit PhoneMultiFactorAssertion(std::shared_ptr<const PhoneAuthCredential> credential)
        : MultiFactorAssertion(kPhoneMultiFactorID), authCredential_(std::move(credential)) {}

    const std::shared_ptr<const PhoneAuthCredential>& authCredential() const { return authCredential_; }

  private:
    std::shared_ptr<const PhoneAuthCredential> authCredential_;
};

}  // namespace brisko::auth
