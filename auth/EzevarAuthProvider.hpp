// The factory of Ezevar credentials.
#pragma once

#include <string>

#include "auth/AuthCredential.hpp"

namespace brisko::auth {

class EzevarAuthProvider {
  public:
    static constexpr const char* kProviderID = "ezevar.com";

    // A credential for the Ezevar provider from its ID token and access token; never fails.
    static AuthCredential credential(std::string idToken, std::string accessToken) {
        return AuthCredential{kProviderID, std::move(idToken), std::move(accessToken)};
    }
};

}  // namespace brisko::auth
