// Token, discovery and registration exchanges, the ID-token checks and the flows' entry points.
#include "oauth/AuthorizationService.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <nlohmann/json.hpp>

#include "oauth/ErrorUtilities.hpp"
#include "oauth/ExternalUserAgentMac.hpp"
#include "oauth/IDToken.hpp"
#include "oauth/ScopeUtilities.hpp"
#include "oauth/internal/IDTokenValidation.hpp"
#include "oauth/internal/JSONDocument.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Text.hpp"

namespace brisko::oauth {
namespace {

constexpr std::string_view kOpenIDScope = "openid";

// Hands a result to the caller on the main queue, always asynchronously.
template <class F> void onMain(F&& f) {
    platform::DispatchQueue::main()->async(std::forward<F>(f));
}

// A reply body as JSON: the parsed value (an object as a dictionary), or the parse error.
struct ParsedJSON {
    std::optional<Value> value;
    OptionalError error;
};
ParsedJSON parseJSON(const std::optional<Data>& data) {
    try {
        const Data empty;
        return {detail::parseJSONValue(data ? *data : empty), std::nullopt};
    } catch (const nlohmann::json::exception& e) {
        return {std::nullopt,
                Error(std::string(platform::kCocoaErrorDomain), 3840,
                      Dictionary{{std::string(platform::kLocalizedDescriptionKey), std::string(e.what())}})};
    }
}

// The JSON object of an error body, when the body is one with an "error" member.
std::optional<Dictionary> OAuthErrorBody(const std::optional<Data>& data) {
    auto parsed = parseJSON(data);
    auto* body = parsed.value ? parsed.value->dictionary() : nullptr;
    if (!body || !body->contains("error")) return std::nullopt;
    return std::move(*body);
}

bool requestsOpenID(const AuthorizationResponsePtr& response) {
    if (!response || !response->request()->scope()) return false;
    auto scopes = ScopeUtilities::scopesArrayWithString(*response->request()->scope());
    return std::find(scopes.begin(), scopes.end(), kOpenIDScope) != scopes.end();
}

Error idTokenCheckFailed(std::string description) {
    return ErrorUtilities::errorWithCode(ErrorCode::IDTokenFailedValidationError, std::nullopt, std::move(description));
}

Error tokenResponseInvalid() {
    return ErrorUtilities::errorWithCode(ErrorCode::tokenResponseConstructionError, std::nullopt,
                                         std::string("Token response invalid."));
}

// What a token reply gives: the response or the error.
std::pair<TokenResponsePtr, OptionalError> tokenResult(const TokenRequestPtr& request,
                                                       const AuthorizationResponsePtr& authorizationResponse,
                                                       const std::optional<Data>& data,
                                                       const std::shared_ptr<const platform::HTTPURLResponse>& http,
                                                       const OptionalError& transportError) {
    const std::string& url = request->tokenRequestURL().absoluteString();
    if (transportError || !http) {
        auto cause = transportError ? *transportError : Error(std::string(platform::kURLErrorDomain), -1011);
        return {nullptr,
                ErrorUtilities::errorWithCode(ErrorCode::networkError, cause,
                                              platform::format("Connection error making token request to '%@': %@.",
                                                               {url, cause.localizedDescription()}))};
    }
    if (http->statusCode() != 200) {
        Error httpError = ErrorUtilities::HTTPErrorWithHTTPResponse(*http, data ? &*data : nullptr);
        if (http->statusCode() >= 400 && http->statusCode() < 500) {
            if (auto body = OAuthErrorBody(data)) {
                return {nullptr, ErrorUtilities::OAuthErrorWithDomain(kOAuthTokenErrorDomain, body, httpError)};
            }
        }
        return {nullptr, ErrorUtilities::errorWithCode(
                             ErrorCode::serverError, httpError,
                             platform::format("Non-200 HTTP response (%d) making token request to '%@'.",
                                              {http->statusCode(), url}))};
    }
    auto parsed = parseJSON(data);
    if (parsed.error) {
        return {nullptr, ErrorUtilities::errorWithCode(ErrorCode::JSONDeserializationError, parsed.error,
                                                       platform::format("JSON error parsing token response: %@",
                                                                        {parsed.error->localizedDescription()}))};
    }
    if (!parsed.value->dictionary()) return {nullptr, tokenResponseInvalid()};
    Dictionary parameters = std::move(*parsed.value->dictionary());
    // A reply that refuses the grant is that refusal whatever its status; one without an access token
    // (required, RFC 6749 section 5.1) is no token response at all.
    if (parameters.contains("error")) {
        return {nullptr, ErrorUtilities::OAuthErrorWithDomain(kOAuthTokenErrorDomain, parameters, std::nullopt)};
    }
    auto accessToken = parameters.find("access_token");
    if (accessToken == parameters.end() || !accessToken->second.string()) return {nullptr, tokenResponseInvalid()};
    auto response = TokenResponse::make(request, std::move(parameters));
    if (!response->idToken()) {
        // An OpenID code exchange must bring the ID token that proves who signed in.
        if (request->grantType() == kGrantTypeAuthorizationCode && requestsOpenID(authorizationResponse)) {
            return {nullptr, idTokenCheckFailed("ID Token missing")};
        }
        return {response, std::nullopt};
    }
    std::optional<std::string> nonce;
    if (request->grantType() == kGrantTypeAuthorizationCode && authorizationResponse) {
        nonce = authorizationResponse->request()->nonce();
    }
    if (auto error =
            detail::validateIDToken(*response->idToken(), *request->configuration(), request->clientID(), nonce)) {
        return {nullptr, std::move(error)};
    }
    return {response, std::nullopt};
}

// A host that names this machine: plain http to it never crosses a network.
bool isLoopbackHost(const std::optional<std::string>& host) {
    if (!host) return false;
    if (platform::equalsIgnoringASCIICase(*host, "localhost")) return true;
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, host->c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return ::inet_pton(AF_INET6, host->c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

Error invalidDocument(std::string description) {
    return ErrorUtilities::errorWithCode(ErrorCode::invalidDiscoveryDocument, std::nullopt, std::move(description));
}

// What makes a well-formed document unfit to be trusted (OpenID Connect Discovery 1.0, section 4.3): an
// issuer other than the one asked for, whose ID tokens the configuration would then accept, or an
// endpoint the client would send codes, tokens or the user to that is not https (plain http only on
// this machine).
OptionalError trustworthinessError(const ServiceDiscovery& discovery, const std::vector<std::string>& expectedIssuers) {
    const Dictionary& document = discovery.discoveryDictionary();
    if (!expectedIssuers.empty()) {
        const auto* issuer = document.at("issuer").string();
        if (!issuer || std::find(expectedIssuers.begin(), expectedIssuers.end(), *issuer) == expectedIssuers.end()) {
            return invalidDocument(
                platform::format("Issuer mismatch: the document is for %@, not for %@",
                                 {issuer ? *issuer : std::string("(null)"), expectedIssuers.front()}));
        }
    }
    for (const auto& [name, value] : document) {
        if (!name.ends_with("_endpoint") && name != "jwks_uri") continue;
        const auto* text = value.string();
        auto endpoint = text ? URL::parse(*text) : std::nullopt;
        bool secure =
            endpoint &&
            (platform::equalsIgnoringASCIICase(endpoint->scheme(), "https") ||
             (platform::equalsIgnoringASCIICase(endpoint->scheme(), "http") && isLoopbackHost(endpoint->host())));
        if (!secure) return invalidDocument(platform::format("Insecure URL: %@", {name}));
    }
    return std::nullopt;
}

std::pair<ServiceConfigurationPtr, OptionalError>
discoveryResult(const URL& discoveryURL, const std::vector<std::string>& expectedIssuers,
                const std::optional<Data>& data, const std::shared_ptr<const platform::HTTPURLResponse>& http,
                const OptionalError& transportError) {
    const std::string& url = discoveryURL.absoluteString();
    if (transportError || !data || !http) {
        auto cause = transportError ? *transportError : Error(std::string(platform::kURLErrorDomain), -1011);
        return {nullptr,
                ErrorUtilities::errorWithCode(ErrorCode::networkError, cause,
                                              platform::format("Connection error fetching discovery document '%@': %@.",
                                                               {url, cause.localizedDescription()}))};
    }
    if (http->statusCode() != 200) {
        Error httpError = ErrorUtilities::HTTPErrorWithHTTPResponse(*http, &*data);
        return {nullptr, ErrorUtilities::errorWithCode(
                             ErrorCode::networkError, httpError,
                             platform::format("Non-200 HTTP response (%d) fetching discovery document '%@'.",
                                              {http->statusCode(), url}))};
    }
    OptionalError documentError;
    auto discovery = ServiceDiscovery::initWithJSONData(*data, &documentError);
    if (discovery) documentError = trustworthinessError(*discovery, expectedIssuers);
    ServiceConfigurationPtr configuration =
        discovery && !documentError ? ServiceConfiguration::initWithDiscoveryDocument(discovery) : nullptr;
    if (!configuration) {
        if (!documentError)
            documentError = ErrorUtilities::errorWithCode(ErrorCode::invalidDiscoveryDocument, std::nullopt,
                                                          "Invalid URL: authorization_endpoint");
        return {nullptr, ErrorUtilities::errorWithCode(ErrorCode::networkError, documentError,
                                                       platform::format("JSON error parsing document at '%@': %@",
                                                                        {url, documentError->localizedDescription()}))};
    }
    return {configuration, std::nullopt};
}

std::pair<RegistrationResponsePtr, OptionalError>
registrationResult(const RegistrationRequestPtr& request, const URL& endpoint, const std::optional<Data>& data,
                   const std::shared_ptr<const platform::HTTPURLResponse>& http, const OptionalError& transportError) {
    const std::string& url = endpoint.absoluteString();
    if (transportError || !http) {
        auto cause = transportError ? *transportError : Error(std::string(platform::kURLErrorDomain), -1011);
        return {nullptr, ErrorUtilities::errorWithCode(
                             ErrorCode::networkError, cause,
                             platform::format("Connection error making registration request to '%@': %@.",
                                              {url, cause.localizedDescription()}))};
    }
    int status = http->statusCode();
    if (status != 200 && status != 201) {
        Error httpError = ErrorUtilities::HTTPErrorWithHTTPResponse(*http, data ? &*data : nullptr);
        if (status == 400) {
            if (auto body = OAuthErrorBody(data)) {
                return {nullptr, ErrorUtilities::OAuthErrorWithDomain(kOAuthRegistrationErrorDomain, body, httpError)};
            }
        }
        return {nullptr, ErrorUtilities::errorWithCode(
                             ErrorCode::serverError, httpError,
                             platform::format("Non-200/201 HTTP response (%d) making registration request to '%@'.",
                                              {status, url}))};
    }
    auto parsed = parseJSON(data);
    if (parsed.error) {
        return {nullptr, ErrorUtilities::errorWithCode(ErrorCode::JSONDeserializationError, parsed.error,
                                                       platform::format("JSON error parsing registration response: %@",
                                                                        {parsed.error->localizedDescription()}))};
    }
    RegistrationResponsePtr response;
    if (auto* parameters = parsed.value->dictionary()) response = RegistrationResponse::make(request, *parameters);
    if (!response) {
        return {nullptr, ErrorUtilities::errorWithCode(ErrorCode::registrationResponseConstructionError, std::nullopt,
                                                       std::string("Registration response invalid."))};
    }
    return {response, std::nullopt};
}

// The client's own session: a token or registration request is not sent on to wherever a redirect
// points, because its body (a code and verifier, a refresh token) and its credentials belong to the
// endpoint it was made for; the 3xx reply is handled as the endpoint's answer. Plain fetches (discovery)
// follow redirects.
class NoCredentialRedirects : public platform::URLSessionDelegate {
public:
    void willPerformHTTPRedirection(const std::shared_ptr<platform::URLSession>&,
                                    const std::shared_ptr<platform::URLSessionTask>& task,
                                    const std::shared_ptr<const platform::HTTPURLResponse>&,
                                    platform::URLRequest newRequest, RedirectCompletion completion) override {
        auto original = task->originalRequest();
        if (original && original->httpMethod() == "POST") {
            completion(std::nullopt);
            return;
        }
        completion(std::move(newRequest));
    }
    // Only redirects are decided here: metrics and upload progress would go nowhere.
    bool wantsMetrics(const std::shared_ptr<platform::URLSessionTask>&) override { return false; }
    bool wantsUploadProgress(const std::shared_ptr<platform::URLSessionTask>&) override { return false; }
};

// Fetches the document; its issuer must be one of those expected (when any are).
void discover(const URL& discoveryURL, std::vector<std::string> expectedIssuers,
              ServiceConfigurationCallback completion) {
    auto task = URLSessionProvider::session()->dataTaskWithRequest(
        platform::URLRequest(discoveryURL),
        [discoveryURL, expectedIssuers = std::move(expectedIssuers), completion = std::move(completion)](
            std::optional<Data> data, std::shared_ptr<const platform::HTTPURLResponse> http,
            OptionalError error) mutable {
            auto [configuration, failure] = discoveryResult(discoveryURL, expectedIssuers, data, http, error);
            onMain([completion = std::move(completion), configuration = std::move(configuration),
                    failure = std::move(failure)] { completion(configuration, failure); });
        });
    task->resume();
}

std::mutex& sessionMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<platform::URLSession>& storedSession() {
    static std::shared_ptr<platform::URLSession> session;
    return session;
}

}  // namespace

namespace detail {

OptionalError validateIDToken(std::string_view idToken, const ServiceConfiguration& configuration,
                              std::string_view clientID, const std::optional<std::string>& expectedNonce) {
    auto token = IDToken::initWithIDTokenString(idToken);
    if (!token) {
        return ErrorUtilities::errorWithCode(ErrorCode::IDTokenParsingError, std::nullopt,
                                             std::string("ID Token parsing failed"));
    }
    if (configuration.issuer() && token->issuer() != *configuration.issuer())
        return idTokenCheckFailed("Issuer mismatch");
    const auto& audience = token->audience();
    if (std::find(audience.begin(), audience.end(), clientID) == audience.end()) {
        auto azp = token->claims().find("azp");
        if (azp == token->claims().end() || !azp->second.string() || *azp->second.string() != clientID) {
            return idTokenCheckFailed("Audience mismatch");
        }
    }
    const auto now = platform::now();
    // Valid only before its expiry: at "exp" itself it has expired.
    if (token->expiresAt() <= now) return idTokenCheckFailed("ID Token expired");
    auto distance = std::chrono::duration<double>(token->issuedAt() - now).count();
    if (std::fabs(distance) > kIDTokenIssuedAtLeeway) {
        return idTokenCheckFailed(platform::format(
            "Issued at time is more than %d seconds before or after the current time", {kIDTokenIssuedAtLeeway}));
    }
    if (expectedNonce && token->nonce() != expectedNonce) return idTokenCheckFailed("Nonce mismatch");
    return std::nullopt;
}

}  // namespace detail

void AuthorizationService::discoverServiceConfigurationForIssuer(const URL& issuerURL,
                                                                 ServiceConfigurationCallback completion) {
    auto discoveryURL = issuerURL.appendingPathComponent(kOpenIDConfigurationPath);
    if (!discoveryURL) {
        onMain([completion = std::move(completion), issuerURL] {
            completion(nullptr, ErrorUtilities::errorWithCode(
                                    ErrorCode::networkError, std::nullopt,
                                    platform::format("Connection error fetching discovery document '%@': %@.",
                                                     {issuerURL.absoluteString(), "bad URL"})));
        });
        return;
    }
    discover(*discoveryURL, {issuerURL.absoluteString()}, std::move(completion));
}

void AuthorizationService::discoverServiceConfigurationForDiscoveryURL(const URL& discoveryURL,
                                                                       ServiceConfigurationCallback completion) {
    // At the standard place the document's issuer is what precedes it, with or without a final "/"; a
    // document elsewhere names no issuer to hold it to.
    std::vector<std::string> expectedIssuers;
    const std::string& text = discoveryURL.absoluteString();
    const std::string suffix = "/" + std::string(kOpenIDConfigurationPath);
    if (text.ends_with(suffix)) {
        std::string issuer = text.substr(0, text.size() - suffix.size());
        expectedIssuers = {issuer, issuer + "/"};
    }
    discover(discoveryURL, std::move(expectedIssuers), std::move(completion));
}

std::shared_ptr<AuthorizationSession>
AuthorizationService::presentAuthorizationRequest(AuthorizationRequestPtr request,
                                                  std::shared_ptr<ExternalUserAgent> externalUserAgent,
                                                  AuthorizationCallback callback) {
    auto session = AuthorizationSession::make(std::move(request));
    session->presentAuthorizationWithExternalUserAgent(std::move(externalUserAgent), std::move(callback));
    return session;
}

std::shared_ptr<AuthorizationSession>
AuthorizationService::presentAuthorizationRequest(AuthorizationRequestPtr request, PresentingWindow presentingWindow,
                                                  AuthorizationCallback callback) {
    return presentAuthorizationRequest(std::move(request), std::make_shared<ExternalUserAgentMac>(presentingWindow),
                                       std::move(callback));
}

std::shared_ptr<AuthorizationSession>
AuthorizationService::presentAuthorizationRequest(AuthorizationRequestPtr request, PresentingWindow presentingWindow,
                                                  bool prefersEphemeralSession, AuthorizationCallback callback) {
    return presentAuthorizationRequest(
        std::move(request), std::make_shared<ExternalUserAgentMac>(presentingWindow, prefersEphemeralSession),
        std::move(callback));
}

std::shared_ptr<AuthorizationSession>
AuthorizationService::presentAuthorizationRequest(AuthorizationRequestPtr request, AuthorizationCallback callback) {
    return presentAuthorizationRequest(std::move(request), std::make_shared<ExternalUserAgentMac>(),
                                       std::move(callback));
}

std::shared_ptr<EndSessionImplementation> AuthorizationService::presentEndSessionRequest(
    EndSessionRequestPtr request, std::shared_ptr<ExternalUserAgent> externalUserAgent, EndSessionCallback callback) {
    auto session = EndSessionImplementation::make(std::move(request));
    session->presentAuthorizationWithExternalUserAgent(std::move(externalUserAgent), std::move(callback));
    return session;
}

void AuthorizationService::performTokenRequest(TokenRequestPtr request, TokenCallback callback) {
    performTokenRequest(std::move(request), nullptr, std::move(callback));
}

void AuthorizationService::performTokenRequest(TokenRequestPtr request,
                                               AuthorizationResponsePtr originalAuthorizationResponse,
                                               TokenCallback callback) {
    auto task = URLSessionProvider::session()->dataTaskWithRequest(
        request->URLRequest(), [request, originalAuthorizationResponse, callback = std::move(callback)](
                                   std::optional<Data> data, std::shared_ptr<const platform::HTTPURLResponse> http,
                                   OptionalError error) mutable {
            auto [response, failure] = tokenResult(request, originalAuthorizationResponse, data, http, error);
            onMain([callback = std::move(callback), response = std::move(response), failure = std::move(failure)] {
                callback(response, failure);
            });
        });
    task->resume();
}

void AuthorizationService::performRegistrationRequest(RegistrationRequestPtr request, RegistrationCallback completion) {
    auto urlRequest = request->URLRequest();
    if (!urlRequest) {
        onMain([completion = std::move(completion)] {
            completion(nullptr, ErrorUtilities::errorWithCode(
                                    ErrorCode::JSONSerializationError, std::nullopt,
                                    std::string("The registration request could not be serialized as JSON.")));
        });
        return;
    }
    URL endpoint = *urlRequest->url();
    auto task = URLSessionProvider::session()->dataTaskWithRequest(
        std::move(*urlRequest), [request, endpoint, completion = std::move(completion)](
                                    std::optional<Data> data, std::shared_ptr<const platform::HTTPURLResponse> http,
                                    OptionalError error) mutable {
            auto [response, failure] = registrationResult(request, endpoint, data, http, error);
            onMain([completion = std::move(completion), response = std::move(response), failure = std::move(failure)] {
                completion(response, failure);
            });
        });
    task->resume();
}

std::shared_ptr<platform::URLSession> URLSessionProvider::session() {
    std::lock_guard lock(sessionMutex());
    if (!storedSession()) {
        // Replies are parsed where their transfer ends, on the network thread (small JSON documents), and
        // only the result travels to the main queue.
        storedSession() = platform::URLSession::sessionWithConfiguration(
            platform::URLSessionConfiguration::defaultSessionConfiguration(), std::make_shared<NoCredentialRedirects>(),
            platform::URLSession::networkQueue());
    }
    return storedSession();
}

void URLSessionProvider::setSession(std::shared_ptr<platform::URLSession> session) {
    if (!session) ErrorUtilities::assertionFailure("Parameter: |session| must be non-nil.");
    std::lock_guard lock(sessionMutex());
    storedSession() = std::move(session);
}

}  // namespace brisko::oauth
