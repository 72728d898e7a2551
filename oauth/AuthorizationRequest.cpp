// The authorization request, its PKCE values and its URL.
#include "oauth/AuthorizationRequest.hpp"

#include "oauth/ErrorUtilities.hpp"
#include "oauth/ScopeUtilities.hpp"
#include "oauth/TokenUtilities.hpp"
#include "oauth/URLQueryComponent.hpp"
#include "oauth/internal/Archive.hpp"
#include "oauth/internal/Describe.hpp"
#include "platform/base/Text.hpp"

namespace brisko::oauth {
namespace {

constexpr std::size_t kStateSizeBytes = 32;
constexpr std::size_t kCodeVerifierBytes = 32;
constexpr std::string_view kRandomSourceFailure = "The system's secure random source failed.";

// The query of the request; state and nonce redacted when the URL is for a description.
URL buildURL(const AuthorizationRequest& r, bool forDescription) {
    URLQueryComponent query;
    query.addParameter("response_type", r.responseType());
    query.addParameter("client_id", r.clientID());
    query.addParameters(r.additionalParameters());
    if (r.redirectURL()) query.addParameter("redirect_uri", r.redirectURL()->absoluteString());
    auto add = [&](std::string_view name, const std::optional<std::string>& value, bool secret) {
        if (value) query.addParameter(name, secret && forDescription ? TokenUtilities::redact(*value) : *value);
    };
    add("scope", r.scope(), false);
    add("state", r.state(), true);
    add("nonce", r.nonce(), true);
    add("code_challenge", r.codeChallenge(), false);
    add("code_challenge_method", r.codeChallengeMethod(), false);
    const URL& endpoint = r.configuration()->authorizationEndpoint();
    auto url = query.URLByAddingQueryToURL(endpoint);
    return url ? *url : endpoint;
}

}  // namespace

std::shared_ptr<const AuthorizationRequest> AuthorizationRequest::make(
    ServiceConfigurationPtr configuration, std::string clientID, std::optional<std::string> clientSecret,
    std::optional<std::string> scope, std::optional<URL> redirectURL, std::string responseType,
    std::optional<std::string> state, std::optional<std::string> nonce, std::optional<std::string> codeVerifier,
    std::optional<std::string> codeChallenge, std::optional<std::string> codeChallengeMethod,
    StringMap additionalParameters) {
    if (!configuration) ErrorUtilities::assertionFailure("An authorization request needs a service configuration.");
    if (!isSupportedResponseType(responseType)) {
        ErrorUtilities::assertionFailure(platform::format(
            "The response_type \"%@\" isn't supported. OAuthClient only supports the \"code\" or \"code id_token\" "
            "response_type.",
            {responseType}));
    }
    auto request = std::make_shared<AuthorizationRequest>();
    request->configuration_ = std::move(configuration);
    request->responseType_ = std::move(responseType);
    request->clientID_ = std::move(clientID);
    request->clientSecret_ = std::move(clientSecret);
    request->scope_ = std::move(scope);
    request->redirectURL_ = std::move(redirectURL);
    request->state_ = std::move(state);
    request->nonce_ = std::move(nonce);
    request->codeVerifier_ = std::move(codeVerifier);
    request->codeChallenge_ = std::move(codeChallenge);
    request->codeChallengeMethod_ = std::move(codeChallengeMethod);
    request->additionalParameters_ = std::move(additionalParameters);
    return request;
}

std::shared_ptr<const AuthorizationRequest> AuthorizationRequest::make(
    ServiceConfigurationPtr configuration, std::string clientID, std::optional<std::string> clientSecret,
    const std::vector<std::string>& scopes, std::optional<URL> redirectURL, std::string responseType,
    StringMap additionalParameters, std::optional<std::string> nonce) {
    auto codeVerifier = generateCodeVerifier();
    auto codeChallenge = codeChallengeS256ForVerifier(codeVerifier);
    std::optional<std::string> scope;
    if (!scopes.empty()) scope = ScopeUtilities::scopesWithArray(scopes);
    auto state = generateState();
    if (!nonce) nonce = generateState();
    if (!codeVerifier || !state || !nonce) {
        throw platform::ErrorException(
            ErrorUtilities::errorWithCode(ErrorCode::randomSourceError, std::nullopt, std::string(kRandomSourceFailure)));
    }
    return make(std::move(configuration), std::move(clientID), std::move(clientSecret), std::move(scope),
                std::move(redirectURL), std::move(responseType), std::move(state), std::move(nonce),
                std::move(codeVerifier), std::move(codeChallenge), std::string(kCodeChallengeMethodS256),
                std::move(additionalParameters));
}

bool AuthorizationRequest::isSupportedResponseType(std::string_view responseType) {
    return responseType == "code" || responseType == "code id_token" || responseType == "id_token code";
}

std::optional<std::string> AuthorizationRequest::generateCodeVerifier() {
    return TokenUtilities::randomURLSafeStringWithSize(kCodeVerifierBytes);
}

std::optional<std::string> AuthorizationRequest::generateState() {
    return TokenUtilities::randomURLSafeStringWithSize(kStateSizeBytes);
}

std::optional<std::string> AuthorizationRequest::codeChallengeS256ForVerifier(
    const std::optional<std::string>& codeVerifier) {
    if (!codeVerifier) return std::nullopt;
    return TokenUtilities::encodeBase64urlNoPadding(TokenUtilities::sha256(*codeVerifier));
}

URL AuthorizationRequest::authorizationRequestURL() const { return buildURL(*this, false); }

std::optional<std::string> AuthorizationRequest::redirectScheme() const {
    if (!redirectURL_) return std::nullopt;
    return redirectURL_->scheme();
}

std::string AuthorizationRequest::description() const {
    return "<OACAuthorizationRequest: " + detail::pointerText(this) +
           ", request: " + buildURL(*this, true).absoluteString() + ">";
}

void AuthorizationRequest::encodeWithCoder(platform::KeyedArchiver& coder) const {
    detail::encodeRecord(coder, configuration_, "configuration");
    coder.encodeObject(Value(responseType_), "response_type");
    coder.encodeObject(Value(clientID_), "client_id");
    detail::encodeText(coder, clientSecret_, "client_secret");
    detail::encodeText(coder, scope_, "scope");
    detail::encodeURL(coder, redirectURL_, "redirect_uri");
    detail::encodeText(coder, state_, "state");
    detail::encodeText(coder, nonce_, "nonce");
    detail::encodeText(coder, codeVerifier_, "code_verifier");
    detail::encodeText(coder, codeChallenge_, "code_challenge");
    detail::encodeText(coder, codeChallengeMethod_, "code_challenge_method");
    detail::encodeStringMap(coder, additionalParameters_, "additionalParameters");
}

std::shared_ptr<AuthorizationRequest> AuthorizationRequest::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto request = std::make_shared<AuthorizationRequest>();
    request->configuration_ = detail::decodeRecord<ServiceConfiguration>(coder, "configuration");
    auto responseType = detail::decodeText(coder, "response_type");
    auto clientID = detail::decodeText(coder, "client_id");
    // A damaged archive decodes to nothing rather than raising.
    if (!request->configuration_ || !responseType || !clientID || !isSupportedResponseType(*responseType)) {
        return nullptr;
    }
    request->responseType_ = std::move(*responseType);
    request->clientID_ = std::move(*clientID);
    request->clientSecret_ = detail::decodeText(coder, "client_secret");
    request->scope_ = detail::decodeText(coder, "scope");
    request->redirectURL_ = detail::decodeURL(coder, "redirect_uri");
    request->state_ = detail::decodeText(coder, "state");
    request->nonce_ = detail::decodeText(coder, "nonce");
    request->codeVerifier_ = detail::decodeText(coder, "code_verifier");
    request->codeChallenge_ = detail::decodeText(coder, "code_challenge");
    request->codeChallengeMethod_ = detail::decodeText(coder, "code_challenge_method");
    request->additionalParameters_ = detail::decodeStringMap(coder, "additionalParameters");
    return request;
}

}  // namespace brisko::oauth
