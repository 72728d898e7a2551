// A provider credential that the identity client signs in with.
#pragma once

#include <string>

namespace brisko::auth {

struct AuthCredential {
    std::string provider;     // the provider ID, for example "ezevar.com"
    std::string idToken;      // the provider's ID token
    std::string accessToken;  // the provider's access token
};

}  // namespace brisko::auth
