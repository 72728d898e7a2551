// The Facebook credential: what it writes into a verify-assertion request and its archive.
#include "auth/providers/FacebookAuthCredential.hpp"

#include "auth/backend/VerifyAssertionRequest.hpp"
#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/AuthProviderID.hpp"

namespace brisko::auth {

FacebookAuthCredential::FacebookAuthCredential(std::optional<std::string> accessToken)
    : AuthCredential(std::string(kFacebookProviderID)), accessToken_(std::move(accessToken)) {}

void FacebookAuthCredential::prepare(VerifyAssertionRequest& request) const {
    request.providerAccessToken = accessToken_;
}

void FacebookAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coding::encodeText(coder, accessToken_, kAccessTokenKey);
}

std::shared_ptr<FacebookAuthCredential> FacebookAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto accessToken = coding::decodeText(coder, kAccessTokenKey);
    return std::make_shared<FacebookAuthCredential>(std::move(accessToken));
}

}  // namespace brisko::auth
