// The Twitter credential: what it writes into a verify-assertion request and its archive.
#include "auth/providers/TwitterAuthCredential.hpp"

#include "auth/backend/VerifyAssertionRequest.hpp"
#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/AuthProviderID.hpp"

namespace brisko::auth {

TwitterAuthCredential::TwitterAuthCredential(std::optional<std::string> token, std::optional<std::string> secret)
    : AuthCredential(std::string(kTwitterProviderID)), token_(std::move(token)), secret_(std::move(secret)) {}

void TwitterAuthCredential::prepare(VerifyAssertionRequest& request) const {
    request.providerAccessToken = token_;
    request.providerOAuthTokenSecret = secret_;
}

void TwitterAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coding::encodeText(coder, token_, kTokenKey);
    coding::encodeText(coder, secret_, kSecretKey);
}

std::shared_ptr<TwitterAuthCredential> TwitterAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto token = coding::decodeText(coder, kTokenKey);
    auto secret = coding::decodeText(coder, kSecretKey);
    return std::make_shared<TwitterAuthCredential>(std::move(token), std::move(secret));
}

}  // namespace brisko::auth
