// Dynamic client registration replies and their validity rules.
#include "oauth/RegistrationResponse.hpp"

#include "oauth/TokenUtilities.hpp"
#include "oauth/internal/Archive.hpp"
#include "oauth/internal/Describe.hpp"
#include "platform/base/Text.hpp"

namespace brisko::oauth {

const FieldMap<RegistrationResponse>& RegistrationResponse::fieldMap() {
    using R = RegistrationResponse;
    static const FieldMap<R> map{
        {"client_id", {"clientID", &R::clientID_}},
        {"client_id_issued_at",
         {"clientIDIssuedAt", &R::clientIDIssuedAt_, &FieldMappingConversions::dateEpochConversion}},
        {"client_secret", {"clientSecret", &R::clientSecret_}},
        {"client_secret_expires_at",
         {"clientSecretExpiresAt", &R::clientSecretExpiresAt_, &FieldMappingConversions::dateEpochConversion}},
        {"registration_access_token", {"registrationAccessToken", &R::registrationAccessToken_}},
        {"registration_client_uri",
         {"registrationClientURI", &R::registrationClientURI_, &FieldMappingConversions::URLConversion}},
        {"token_endpoint_auth_method", {"tokenEndpointAuthenticationMethod", &R::tokenEndpointAuthMethod_}},
    };
    return map;
}

std::shared_ptr<const RegistrationResponse> RegistrationResponse::make(RegistrationRequestPtr request,
                                                                       const Dictionary& parameters) {
    auto response = std::make_shared<RegistrationResponse>();
    response->request_ = std::move(request);
    response->additionalParameters_ = remainingParametersWithMap(fieldMap(), parameters, *response);
    // A registration is of no use without the client ID it assigns.
    if (!response->clientID_) return nullptr;
    if (response->clientSecret_ && !response->clientSecretExpiresAt_) return nullptr;
    if (response->registrationAccessToken_.has_value() != response->registrationClientURI_.has_value()) return nullptr;
    return response;
}

std::string RegistrationResponse::description() const {
    return platform::format(
        "<OACRegistrationResponse: %@, clientID: \"%@\", clientIDIssuedAt: %@, clientSecret: %@, "
        "clientSecretExpiresAt: \"%@\", registrationAccessToken: \"%@\", registrationClientURI: \"%@\", "
        "additionalParameters: %@, request: %@>",
        {detail::pointerText(this), detail::orNull(clientID_), detail::orNull(clientIDIssuedAt_),
         detail::orNull(TokenUtilities::redact(clientSecret_)), detail::orNull(clientSecretExpiresAt_),
         detail::orNull(TokenUtilities::redact(registrationAccessToken_)), detail::orNull(registrationClientURI_),
         Value(additionalParameters_).description(), detail::orNull(request_)});
}

void RegistrationResponse::encodeWithCoder(platform::KeyedArchiver& coder) const {
    oauth::encodeWithCoder(coder, fieldMap(), *this);
    detail::encodeRecord(coder, request_, "request");
    coder.encodeObject(Value(additionalParameters_), "additionalParameters");
}

std::shared_ptr<RegistrationResponse> RegistrationResponse::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto response = std::make_shared<RegistrationResponse>();
    response->request_ = detail::decodeRecord<RegistrationRequest>(coder, "request");
    if (!response->request_) return nullptr;
    oauth::decodeWithCoder(coder, fieldMap(), *response);
    response->additionalParameters_ = detail::decodeJSONDictionary(coder, "additionalParameters");
    return response;
}

}  // namespace brisko::oauth
