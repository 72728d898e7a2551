// Dynamic client registration requests and their JSON body.
#include "oauth/RegistrationRequest.hpp"

#include <nlohmann/json.hpp>

#include "oauth/ErrorUtilities.hpp"
#include "oauth/internal/Archive.hpp"
#include "oauth/internal/Describe.hpp"

namespace brisko::oauth {
namespace {

Value textList(const std::vector<std::string>& texts) { return Value(Value::Array(texts.begin(), texts.end())); }

std::optional<std::vector<std::string>> decodeTextList(platform::KeyedUnarchiver& coder, std::string_view key) {
    Value value = coder.decodeObjectOfClasses(platform::archiveClasses<platform::Array, std::string>(), key);
    const auto* list = value.array();
    if (!list) return std::nullopt;
    std::vector<std::string> texts;
    for (const auto& item : *list) {
        if (item.string()) texts.push_back(*item.string());
    }
    return texts;
}

}  // namespace

std::shared_ptr<const RegistrationRequest> RegistrationRequest::make(
    ServiceConfigurationPtr configuration, std::vector<URL> redirectURIs,
    std::optional<std::vector<std::string>> responseTypes, std::optional<std::vector<std::string>> grantTypes,
    std::optional<std::string> subjectType, std::optional<std::string> tokenEndpointAuthMethod,
    std::optional<std::string> initialAccessToken, Dictionary additionalParameters) {
    if (!configuration) ErrorUtilities::assertionFailure("A registration request needs a service configuration.");
    auto request = std::make_shared<RegistrationRequest>();
    request->configuration_ = std::move(configuration);
    request->redirectURIs_ = std::move(redirectURIs);
    request->responseTypes_ = std::move(responseTypes);
    request->grantTypes_ = std::move(grantTypes);
    request->subjectType_ = std::move(subjectType);
    request->tokenEndpointAuthMethod_ = std::move(tokenEndpointAuthMethod);
    request->initialAccessToken_ = std::move(initialAccessToken);
    request->additionalParameters_ = std::move(additionalParameters);
    return request;
}

std::optional<Data> RegistrationRequest::JSONString() const {
    Dictionary body;
    Value::Array uris;
    for (const auto& uri : redirectURIs_) uris.emplace_back(uri.absoluteString());
    body.insert_or_assign("redirect_uris", Value(std::move(uris)));
    body.insert_or_assign("application_type", applicationType_);
    for (const auto& [name, value] : additionalParameters_) body.insert_or_assign(name, value);
    if (responseTypes_) body.insert_or_assign("response_types", textList(*responseTypes_));
    if (grantTypes_) body.insert_or_assign("grant_types", textList(*grantTypes_));
    if (subjectType_) body.insert_or_assign("subject_type", *subjectType_);
    if (tokenEndpointAuthMethod_) body.insert_or_assign("token_endpoint_auth_method", *tokenEndpointAuthMethod_);
    try {
        // Values with no JSON form (bytes, dates, objects) make the body impossible.
        for (const auto& [name, value] : body) {
            auto t = value.type();
            if (t == Value::Type::data || t == Value::Type::date || t == Value::Type::object || t == Value::Type::error) {
                return std::nullopt;
            }
        }
        return platform::toData(Value(body).toJSON().dump());
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::optional<platform::URLRequest> RegistrationRequest::URLRequest() const {
    auto body = JSONString();
    const auto& endpoint = configuration_->registrationEndpoint();
    if (!body || !endpoint) return std::nullopt;
    platform::URLRequest request(*endpoint);
    request.setHTTPMethod("POST");
    request.setValue("application/json", "Content-Type");
    if (initialAccessToken_) request.setValue("Bearer " + *initialAccessToken_, "Authorization");
    request.setHTTPBody(std::move(*body));
    return request;
}

std::string RegistrationRequest::description() const {
    auto body = JSONString();
    const auto& endpoint = configuration_->registrationEndpoint();
    return "<OACRegistrationRequest: " + detail::pointerText(this) + ", request: <URL: " + detail::orNull(endpoint) +
           ", HTTPBody: " + (body ? platform::toString(*body) : std::string("(null)")) + ">>";
}

void RegistrationRequest::encodeWithCoder(platform::KeyedArchiver& coder) const {
    detail::encodeRecord(coder, configuration_, "configuration");
    detail::encodeText(coder, initialAccessToken_, "initial_access_token");
    Value::Array uris;
    for (const auto& uri : redirectURIs_) uris.emplace_back(uri.absoluteString());
    coder.encodeObject(Value(std::move(uris)), "redirect_uris");
    if (responseTypes_) coder.encodeObject(textList(*responseTypes_), "response_types");
    if (grantTypes_) coder.encodeObject(textList(*grantTypes_), "grant_types");
    detail::encodeText(coder, subjectType_, "subject_type");
    detail::encodeText(coder, tokenEndpointAuthMethod_, "token_endpoint_auth_method");
    coder.encodeObject(Value(additionalParameters_), "additionalParameters");
}

std::shared_ptr<RegistrationRequest> RegistrationRequest::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto request = std::make_shared<RegistrationRequest>();
    request->configuration_ = detail::decodeRecord<ServiceConfiguration>(coder, "configuration");
    if (!request->configuration_) return nullptr;
    request->initialAccessToken_ = detail::decodeText(coder, "initial_access_token");
    for (const auto& text : decodeTextList(coder, "redirect_uris").value_or(std::vector<std::string>{})) {
        if (auto url = URL::parse(text)) request->redirectURIs_.push_back(std::move(*url));
    }
    request->responseTypes_ = decodeTextList(coder, "response_types");
    request->grantTypes_ = decodeTextList(coder, "grant_types");
    request->subjectType_ = detail::decodeText(coder, "subject_type");
    request->tokenEndpointAuthMethod_ = detail::decodeText(coder, "token_endpoint_auth_method");
    request->additionalParameters_ = detail::decodeJSONDictionary(coder, "additionalParameters");
    return request;
}

}  // namespace brisko::oauth
