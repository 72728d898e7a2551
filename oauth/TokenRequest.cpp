// Token endpoint requests and their HTTP form.
#include "oauth/TokenRequest.hpp"

#include "oauth/ErrorUtilities.hpp"
#include "oauth/ScopeUtilities.hpp"
#include "oauth/TokenUtilities.hpp"
#include "oauth/internal/Archive.hpp"
#include "oauth/internal/Describe.hpp"
#include "oauth/internal/FormEncoding.hpp"
#include "platform/storage/Crypto.hpp"

namespace brisko::oauth {
namespace {

constexpr std::string_view kFormContentType = "application/x-www-form-urlencoded; charset=UTF-8";

// Hands each of the form's fields to `add(name, value, secret)`, in the order the form adds them.
template <class Add> void addFormFields(const TokenRequest& r, Add&& add) {
    add("grant_type", r.grantType(), false);
    if (r.scope()) add("scope", *r.scope(), false);
    if (r.redirectURL()) add("redirect_uri", r.redirectURL()->absoluteString(), false);
    if (r.refreshToken()) add("refresh_token", *r.refreshToken(), true);
    if (r.authorizationCode()) add("code", *r.authorizationCode(), true);
    if (r.codeVerifier()) add("code_verifier", *r.codeVerifier(), true);
    for (const auto& [name, value] : r.additionalParameters()) add(name, value, false);
    // Without a secret the client is named in the body (no Basic header).
    if (!r.clientSecret()) add("client_id", r.clientID(), false);
}

URLQueryComponent formBody(const TokenRequest& r, bool redacted) {
    URLQueryComponent query;
    addFormFields(r, [&](std::string_view name, std::string_view value, bool secret) {
        if (secret && redacted) {
            query.addParameter(name, TokenUtilities::redact(value));
        } else {
            query.addParameter(name, value);
        }
    });
    return query;
}

// The form's bytes, as tokenRequestBody().URLEncodedParameters() spells them, encoded from the request's own
// texts: no copy of them, and no text to copy into bytes after.
platform::Data formData(const TokenRequest& r) {
    std::vector<std::pair<std::string_view, std::string_view>> fields;
    fields.reserve(8 + r.additionalParameters().size());
    addFormFields(r, [&](std::string_view name, std::string_view value, bool) {
        detail::insertInNameOrder(fields, name, value);
    });
    return detail::joinEncoded<platform::Data>(fields, detail::formAllowedCharacters());
}

}  // namespace

std::shared_ptr<const TokenRequest> TokenRequest::make(
    ServiceConfigurationPtr configuration, std::string grantType, std::optional<std::string> authorizationCode,
    std::optional<URL> redirectURL, std::string clientID, std::optional<std::string> clientSecret,
    std::optional<std::string> scope, std::optional<std::string> refreshToken, std::optional<std::string> codeVerifier,
    StringMap additionalParameters, StringMap additionalHeaders) {
    if (!configuration) ErrorUtilities::assertionFailure("A token request needs a service configuration.");
    if (grantType == kGrantTypeAuthorizationCode && !redirectURL) {
        ErrorUtilities::raiseException(
            "A OACTokenRequest was created with a grant_type that requires a redirectURL, but a null redirectURL "
            "was given");
    }
    auto request = std::make_shared<TokenRequest>();
    request->configuration_ = std::move(configuration);
    request->grantType_ = std::move(grantType);
    request->authorizationCode_ = std::move(authorizationCode);
    request->redirectURL_ = std::move(redirectURL);
    request->clientID_ = std::move(clientID);
    request->clientSecret_ = std::move(clientSecret);
    request->scope_ = std::move(scope);
    request->refreshToken_ = std::move(refreshToken);
    request->codeVerifier_ = std::move(codeVerifier);
    request->additionalParameters_ = std::move(additionalParameters);
    request->additionalHeaders_ = std::move(additionalHeaders);
    return request;
}

std::shared_ptr<const TokenRequest> TokenRequest::make(
    ServiceConfigurationPtr configuration, std::string grantType, std::optional<std::string> authorizationCode,
    std::optional<URL> redirectURL, std::string clientID, std::optional<std::string> clientSecret,
    const std::vector<std::string>& scopes, std::optional<std::string> refreshToken,
    std::optional<std::string> codeVerifier, StringMap additionalParameters, StringMap additionalHeaders) {
    std::optional<std::string> scope;
    if (!scopes.empty()) scope = ScopeUtilities::scopesWithArray(scopes);
    return make(std::move(configuration), std::move(grantType), std::move(authorizationCode), std::move(redirectURL),
                std::move(clientID), std::move(clientSecret), std::move(scope), std::move(refreshToken),
                std::move(codeVerifier), std::move(additionalParameters), std::move(additionalHeaders));
}

const URL& TokenRequest::tokenRequestURL() const { return configuration_->tokenEndpoint(); }

URLQueryComponent TokenRequest::tokenRequestBody() const { return formBody(*this, false); }

platform::URLRequest TokenRequest::URLRequest() const {
    platform::URLRequest request(tokenRequestURL());
    request.setHTTPMethod("POST");
    request.setValue(kFormContentType, "Content-Type");
    request.setHTTPBody(formData(*this));
    if (clientSecret_) {
        std::string credentials =
            TokenUtilities::formUrlEncode(clientID_) + ":" + TokenUtilities::formUrlEncode(*clientSecret_);
        request.setValue("Basic " + platform::crypto::base64Encode(credentials), "Authorization");
    }
    for (const auto& [name, value] : additionalHeaders_) request.setValue(value, name);
    return request;
}

std::string TokenRequest::description() const {
    return "<OACTokenRequest: " + detail::pointerText(this) + ", request: <URL: " + tokenRequestURL().absoluteString() +
           ", HTTPBody: " + formBody(*this, true).URLEncodedParameters() + ">>";
}

void TokenRequest::encodeWithCoder(platform::KeyedArchiver& coder) const {
    detail::encodeRecord(coder, configuration_, "configuration");
    coder.encodeObject(Value(grantType_), "grant_type");
    detail::encodeText(coder, authorizationCode_, "code");
    coder.encodeObject(Value(clientID_), "client_id");
    detail::encodeText(coder, clientSecret_, "client_secret");
    detail::encodeURL(coder, redirectURL_, "redirect_uri");
    detail::encodeText(coder, scope_, "scope");
    detail::encodeText(coder, refreshToken_, "refresh_token");
    detail::encodeText(coder, codeVerifier_, "code_verifier");
    detail::encodeStringMap(coder, additionalParameters_, "additionalParameters");
    detail::encodeStringMap(coder, additionalHeaders_, "additionalHeaders");
}

std::shared_ptr<TokenRequest> TokenRequest::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto request = std::make_shared<TokenRequest>();
    request->configuration_ = detail::decodeRecord<ServiceConfiguration>(coder, "configuration");
    auto grantType = detail::decodeText(coder, "grant_type");
    auto clientID = detail::decodeText(coder, "client_id");
    if (!request->configuration_ || !grantType || !clientID) return nullptr;
    request->grantType_ = std::move(*grantType);
    request->clientID_ = std::move(*clientID);
    request->authorizationCode_ = detail::decodeText(coder, "code");
    request->clientSecret_ = detail::decodeText(coder, "client_secret");
    request->redirectURL_ = detail::decodeURL(coder, "redirect_uri");
    request->scope_ = detail::decodeText(coder, "scope");
    request->refreshToken_ = detail::decodeText(coder, "refresh_token");
    request->codeVerifier_ = detail::decodeText(coder, "code_verifier");
    request->additionalParameters_ = detail::decodeStringMap(coder, "additionalParameters");
    request->additionalHeaders_ = detail::decodeStringMap(coder, "additionalHeaders");
    return request;
}

}  // namespace brisko::oauth
