// Token endpoint replies.
#include "oauth/TokenResponse.hpp"

#include "oauth/TokenUtilities.hpp"
#include "oauth/internal/Archive.hpp"
#include "oauth/internal/Describe.hpp"
#include "platform/base/Text.hpp"

namespace brisko::oauth {

const FieldMap<TokenResponse>& TokenResponse::fieldMap() {
    using R = TokenResponse;
    static const FieldMap<R> map{
        {"access_token", {"accessToken", &R::accessToken_}},
        {"expires_in",
         {"accessTokenExpirationDate", &R::accessTokenExpirationDate_, &FieldMappingConversions::dateSinceNowConversion}},
        {"token_type", {"tokenType", &R::tokenType_}},
        {"id_token", {"idToken", &R::idToken_}},
        {"refresh_token", {"refreshToken", &R::refreshToken_}},
        {"scope", {"scope", &R::scope_}},
    };
    return map;
}

std::shared_ptr<const TokenResponse> TokenResponse::make(TokenRequestPtr request, const Dictionary& parameters) {
    return make(std::move(request), Dictionary(parameters));
}

std::shared_ptr<const TokenResponse> TokenResponse::make(TokenRequestPtr request, Dictionary&& parameters) {
    auto response = std::make_shared<TokenResponse>();
    response->request_ = std::move(request);
    response->additionalParameters_ = remainingParametersWithMap(fieldMap(), std::move(parameters), *response);
    return response;
}

std::string TokenResponse::description() const {
    return platform::format(
        "<OACTokenResponse: %@, accessToken: \"%@\", accessTokenExpirationDate: %@, tokenType: %@, idToken: \"%@\", "
        "refreshToken: \"%@\", scope: \"%@\", additionalParameters: %@, request: %@>",
        {detail::pointerText(this), detail::orNull(TokenUtilities::redact(accessToken_)),
         detail::orNull(accessTokenExpirationDate_), detail::orNull(tokenType_),
         detail::orNull(TokenUtilities::redact(idToken_)), detail::orNull(TokenUtilities::redact(refreshToken_)),
         detail::orNull(scope_), Value(additionalParameters_).description(), detail::orNull(request_)});
}

void TokenResponse::encodeWithCoder(platform::KeyedArchiver& coder) const {
    detail::encodeRecord(coder, request_, "request");
    oauth::encodeWithCoder(coder, fieldMap(), *this);
    coder.encodeObject(Value(additionalParameters_), "additionalParameters");
}

std::shared_ptr<TokenResponse> TokenResponse::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto response = std::make_shared<TokenResponse>();
    response->request_ = detail::decodeRecord<TokenRequest>(coder, "request");
    if (!response->request_) return nullptr;
    oauth::decodeWithCoder(coder, fieldMap(), *response);
    response->additionalParameters_ = detail::decodeJSONDictionary(coder, "additionalParameters");
    return response;
}

}  // namespace brisko::oauth
