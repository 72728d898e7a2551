// The Twitter provider: its identifier and the factory of its credential.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "auth/providers/AuthProviderID.hpp"
#include "auth/providers/TwitterAuthCredential.hpp"

namespace brisko::auth {

// Used only through its class-level members.
class TwitterAuthProvider {
  public:
    static constexpr std::string_view id = kTwitterProviderID;

    TwitterAuthProvider() = delete;

    // A credential from the Twitter token and its secret.
    static std::shared_ptr<TwitterAuthCredential> credential(std::string token, std::string secret) {
        return std::make_shared<TwitterAuthCredential>(std::move(token), std::move(secret));
    }
};

}  // namespace brisko::auth
