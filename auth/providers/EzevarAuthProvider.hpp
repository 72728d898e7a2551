// The Ezevar provider: its identifier and the factory of its credential.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "auth/providers/AuthProviderID.hpp"
#include "auth/providers/EzevarAuthCredential.hpp"

namespace brisko::auth {

// Used only through its class-level members.
class EzevarAuthProvider {
  public:
    static constexpr std::string_view id = kEzevarProviderID;

    EzevarAuthProvider() = delete;

    // A credential from the Ezevar ID token and access token, unchanged (no check of emptiness or form).
    static std::shared_ptr<EzevarAuthCredential> credential(std::string idToken, std::string accessToken) {
        return std::make_shared<EzevarAuthCredential>(std::move(idToken), std::move(accessToken));
    }
};

}  // namespace brisko::auth
