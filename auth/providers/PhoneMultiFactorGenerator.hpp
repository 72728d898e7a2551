// Makes phone-factor assertions from phone credentials.
#pragma once

#include <memory>

#include "auth/providers/PhoneMultiFactorAssertion.hpp"

namespace brisko::auth {

class PhoneMultiFactorGenerator {
  public:
    // An assertion with factor ID "phone" carrying the credential.
    static std::shared_ptr<PhoneMultiFactorAssertion> assertion(std::shared_ptr<const PhoneAuthCredential> credential) {
        return std::make_shared<PhoneMultiFactorAssertion>(std::move(credential));
    }
};

}  // namespace brisko::auth
