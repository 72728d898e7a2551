// Authorization responses parsed from redirects.
#include "oauth/AuthorizationResponse.hpp"

#include "oauth/ErrorUtilities.hpp"
#include "oauth/TokenUtilities.hpp"
#include "oauth/internal/Archive.hpp"
#include "oauth/internal/Describe.hpp"
#include "platform/base/Text.hpp"

namespace brisko::oauth {

const FieldMap<AuthorizationResponse>& AuthorizationResponse::fieldMap() {
    using R = AuthorizationResponse;
    static const FieldMap<R> map{
        {"code", {"authorizationCode", &R::authorizationCode_}},
        {"state", {"state", &R::state_}},
        {"access_token", {"accessToken", &R::accessToken_}},
        {"expires_in",
         {"accessTokenExpirationDate", &R::accessTokenExpirationDate_, &FieldMappingConversions::dateSinceNowConversion}},
        {"token_type", {"tokenType", &R::tokenType_}},
        {"id_token", {"idToken", &R::idToken_}},
        {"scope", {"scope", &R::scope_}},
    };
    return map;
}

std::shared_ptr<const AuthorizationResponse> AuthorizationResponse::make(AuthorizationRequestPtr request,
                                                                         const Dictionary& parameters) {
    auto response = std::make_shared<AuthorizationResponse>();
    response->request_ = std::move(request);
    response->additionalParameters_ = remainingParametersWithMap(fieldMap(), parameters, *response);
    return response;
}

TokenRequestPtr AuthorizationResponse::tokenExchangeRequest() const {
    return tokenExchangeRequestWithAdditionalParameters({}, {});
}

TokenRequestPtr AuthorizationResponse::tokenExchangeRequestWithAdditionalParameters(
    const StringMap& additionalParameters, const StringMap& additionalHeaders) const {
    if (!authorizationCode_) {
        ErrorUtilities::raiseException(
            "Attempted to create a token exchange request from an authorization response with no authorization "
            "code.");
    }
    return TokenRequest::make(request_->configuration(), std::string(kGrantTypeAuthorizationCode), authorizationCode_,
                              request_->redirectURL(), request_->clientID(), request_->clientSecret(),
                              std::optional<std::string>(), std::nullopt, request_->codeVerifier(),
                              additionalParameters, additionalHeaders);
}

std::string AuthorizationResponse::description() const {
    return platform::format(
        "<OACAuthorizationResponse: %@, authorizationCode: %@, state: \"%@\", accessToken: \"%@\", "
        "accessTokenExpirationDate: %@, tokenType: %@, idToken: \"%@\", scope: \"%@\", additionalParameters: %@, "
        "request: %@>",
        {detail::pointerText(this), detail::orNull(TokenUtilities::redact(authorizationCode_)), detail::orNull(state_),
         detail::orNull(TokenUtilities::redact(accessToken_)), detail::orNull(accessTokenExpirationDate_),
         detail::orNull(tokenType_), detail::orNull(TokenUtilities::redact(idToken_)), detail::orNull(scope_),
         Value(additionalParameters_).description(), detail::orNull(request_)});
}

void AuthorizationResponse::encodeWithCoder(platform::KeyedArchiver& coder) const {
    detail::encodeRecord(coder, request_, "request");
    oauth::encodeWithCoder(coder, fieldMap(), *this);
    coder.encodeObject(Value(additionalParameters_), "additionalParameters");
}

std::shared_ptr<AuthorizationResponse> AuthorizationResponse::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto response = std::make_shared<AuthorizationResponse>();
    response->request_ = detail::decodeRecord<AuthorizationRequest>(coder, "request");
    if (!response->request_) return nullptr;
    oauth::decodeWithCoder(coder, fieldMap(), *response);
    response->additionalParameters_ = detail::decodeJSONDictionary(coder, "additionalParameters");
    return response;
}

}  // namespace brisko::oauth
