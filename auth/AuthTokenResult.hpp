// A decoded ID token, as a token request hands it back.
#pragma once

#include <string>

namespace brisko::auth {

struct AuthTokenResult {
    std::string token;  // the ID token text
};

}  // namespace brisko::auth
