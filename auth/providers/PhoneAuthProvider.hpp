// The phone provider: its identifier. Phone numbers are verified by push or reCAPTCHA on other
// platforms; this desktop has neither, so the provider makes no credentials (they come only from
// archives).
#pragma once

#include <string_view>

#include "auth/providers/AuthProviderID.hpp"

namespace brisko::auth {

class PhoneAuthProvider {
  public:
    static constexpr std::string_view id = kPhoneProviderID;
};

}  // namespace brisko::auth
