// The base credential's prepare, which a kind sent through a verify-assertion request must override.
#include "auth/providers/AuthCredential.hpp"

#include "platform/base/Error.hpp"

namespace brisko::auth {

void AuthCredential::prepare(VerifyAssertionRequest& /*request*/) const {
    platform::fatal(kMustOverrideMessage);
}

}  // namespace brisko::auth
