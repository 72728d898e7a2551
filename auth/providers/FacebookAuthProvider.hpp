// The Facebook provider: its identifier and the factory of its credential.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "auth/providers/AuthProviderID.hpp"
#include "auth/providers/FacebookAuthCredential.hpp"

namespace brisko::auth {

// Used only through its class-level members.
class FacebookAuthProvider {
  public:
    static constexpr std::string_view id = kFacebookProviderID;

    FacebookAuthProvider() = delete;

    // A credential from the Facebook access token.
    static std::shared_ptr<FacebookAuthCredential> credential(std::string accessToken) {
        return std::make_shared<FacebookAuthCredential>(std::move(accessToken));
    }
};

}  // namespace brisko::auth
