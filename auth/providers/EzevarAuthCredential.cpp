// The Ezevar credential: what it writes into a verify-assertion request and its archive.
#include "auth/providers/EzevarAuthCredential.hpp"

#include "auth/backend/VerifyAssertionRequest.hpp"
#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/AuthProviderID.hpp"

namespace brisko::auth {

EzevarAuthCredential::EzevarAuthCredential(std::optional<std::string> idToken, std::optional<std::string> accessToken)
    : AuthCredential(std::string(kEzevarProviderID)), idToken_(std::move(idToken)),
      accessToken_(std::move(accessToken)) {}

void EzevarAuthCredential::prepare(VerifyAssertionRequest& request) const {
    request.providerIDToken = idToken_;
    request.providerAccessToken = accessToken_;
}

void EzevarAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coding::encodeText(coder, idToken_, kIdTokenKey);
    coding::encodeText(coder, accessToken_, kAccessTokenKey);
}

std::shared_ptr<EzevarAuthCredential> EzevarAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto idToken = coding::decodeText(coder, kIdTokenKey);
    auto accessToken = coding::decodeText(coder, kAccessTokenKey);
    return std::make_shared<EzevarAuthCredential>(std::move(idToken), std::move(accessToken));
}

}  // namespace brisko::auth
