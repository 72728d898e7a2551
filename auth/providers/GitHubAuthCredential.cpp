// The GitHub credential: what it writes into a verify-assertion request and its archive.
#include "auth/providers/GitHubAuthCredential.hpp"

#include "auth/backend/VerifyAssertionRequest.hpp"
#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/AuthProviderID.hpp"

namespace brisko::auth {

GitHubAuthCredential::GitHubAuthCredential(std::optional<std::string> token)
    : AuthCredential(std::string(kGitHubProviderID)), token_(std::move(token)) {}

void GitHubAuthCredential::prepare(VerifyAssertionRequest& request) const {
    request.providerAccessToken = token_;
}

void GitHubAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coding::encodeText(coder, token_, kTokenKey);
}

std::shared_ptr<GitHubAuthCredential> GitHubAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto token = coding::decodeText(coder, kTokenKey);
    return std::make_shared<GitHubAuthCredential>(std::move(token));
}

}  // namespace brisko::auth
