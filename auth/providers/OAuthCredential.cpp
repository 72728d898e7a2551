// The generic OAuth credential: from a verify-assertion reply, into a verify-assertion request, and its
// archive.
#include "auth/providers/OAuthCredential.hpp"

#include "auth/backend/VerifyAssertionRequest.hpp"
#include "auth/backend/VerifyAssertionResponse.hpp"
#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/AuthProviderID.hpp"

namespace brisko::auth {

namespace {

bool hasText(const std::optional<std::string>& text) {
    return text && !text->empty();
}

}  // namespace

OAuthCredential::OAuthCredential(std::string provider, Fields fields)
    : AuthCredential(std::move(provider)), fields_(std::move(fields)) {}

std::shared_ptr<OAuthCredential>
OAuthCredential::initFromVerifyAssertionResponse(const VerifyAssertionResponse& response) {
    if (!hasText(response.oauthIDToken) && !hasText(response.oauthAccessToken) && !hasText(response.oauthSecretToken)) {
        return nullptr;
    }
    Fields fields;
    fields.idToken = response.oauthIDToken;
    fields.accessToken = response.oauthAccessToken;
    fields.secret = response.oauthSecretToken;
    fields.pendingToken = response.pendingToken;
    return std::make_shared<OAuthCredential>(response.providerID.value_or(std::string(kOAuthProviderID)),
                                             std::move(fields));
}

void OAuthCredential::prepare(VerifyAssertionRequest& request) const {
    request.providerIDToken = fields_.idToken;
    request.providerRawNonce = fields_.rawNonce;
    request.providerAccessToken = fields_.accessToken;
    request.requestURI = fields_.OAuthResponseURLString;
    request.sessionID = fields_.sessionID;
    request.providerOAuthTokenSecret = fields_.secret;
    request.fullName = fields_.fullName;
    request.pendingToken = fields_.pendingToken;
}

void OAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coding::encodeText(coder, fields_.idToken, kIDTokenKey);
    coding::encodeText(coder, fields_.rawNonce, kRawNonceKey);
    coding::encodeText(coder, fields_.accessToken, kAccessTokenKey);
    coding::encodeText(coder, fields_.pendingToken, kPendingTokenKey);
    coding::encodeText(coder, fields_.secret, kSecretKey);
    if (fields_.fullName) {
        coder.encodeObject(std::make_shared<platform::PersonNameComponents>(*fields_.fullName), kFullNameKey);
    }
    coder.encodeObject(platform::Value(provider()), kProviderIDKey);
}

std::shared_ptr<OAuthCredential> OAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
    Fields fields;
    fields.idToken = coding::decodeText(coder, kIDTokenKey);
    fields.rawNonce = coding::decodeText(coder, kRawNonceKey);
    fields.accessToken = coding::decodeText(coder, kAccessTokenKey);
    fields.pendingToken = coding::decodeText(coder, kPendingTokenKey);
    fields.secret = coding::decodeText(coder, kSecretKey);
    if (auto name = coding::decodeIf<platform::PersonNameComponents>(coder, kFullNameKey)) fields.fullName = *name;
    auto provider = coding::decodeText(coder, kProviderIDKey);
    return std::make_shared<OAuthCredential>(provider.value_or(std::string(kOAuthProviderID)), std::move(fields));
}

}  // namespace brisko::auth
