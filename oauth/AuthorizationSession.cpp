// Interactive flows: redirect matching, the state check and the single callback.
#include "oauth/AuthorizationSession.hpp"

#include <algorithm>
#include <iterator>

#include "oauth/ErrorUtilities.hpp"
#include "oauth/TokenUtilities.hpp"
#include "oauth/URLQueryComponent.hpp"
#include "oauth/internal/Describe.hpp"
#include "oauth/internal/IDTokenValidation.hpp"
#include "platform/base/Text.hpp"

namespace brisko::oauth {
namespace {

constexpr std::string_view kUnableToOpen = "Unable to open Safari.";
constexpr std::string_view kFlowCancelled = "Authorization flow was cancelled.";
constexpr std::string_view kNoCodeInRedirect = "The redirect carried neither an authorization code nor an error.";

// Redirect parameters that grant access, redacted before they go into an error's user info.
constexpr std::string_view kSecretParameters[] = {"code", "access_token", "id_token"};

// The path with its "." and ".." segments resolved (RFC 3986 section 5.2.4).
std::string standardizedPath(std::string_view path) {
    std::string output;
    std::string input(path);
    while (!input.empty()) {
        if (input.starts_with("../")) {
            input.erase(0, 3);
        } else if (input.starts_with("./")) {
            input.erase(0, 2);
        } else if (input.starts_with("/./")) {
            input.erase(0, 2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.starts_with("/../") || input == "/..") {
            input = input.size() == 3 ? std::string("/") : input.substr(3);
            auto slash = output.rfind('/');
            output.erase(slash == std::string::npos ? 0 : slash);
        } else if (input == "." || input == "..") {
            input.clear();
        } else {
            auto next = input.find('/', 1);
            output += input.substr(0, next);
            input.erase(0, next == std::string::npos ? input.size() : next);
        }
    }
    return output;
}

Error stateMismatchError(const Dictionary& parameters, const std::optional<std::string>& expected,
                         const std::optional<std::string>& received, const std::string& responseDescription,
                         std::string_view what) {
    Dictionary userInfo;
    for (const auto& [name, value] : parameters) {
        bool secret =
            std::find(std::begin(kSecretParameters), std::end(kSecretParameters), name) != std::end(kSecretParameters);
        userInfo.insert_or_assign(name,
                                  secret && value.string() ? Value(TokenUtilities::redact(*value.string())) : value);
    }
    userInfo.insert_or_assign(std::string(platform::kLocalizedDescriptionKey),
                              platform::format("State mismatch, expecting %@ but got %@ in %@ %@",
                                               {detail::orNull(TokenUtilities::redact(expected)),
                                                received.value_or("(null)"), what, responseDescription}));
    return Error(std::string(kOAuthAuthorizationErrorDomain), OAuthErrorCode::clientErrorStateMismatch,
                 std::move(userInfo));
}

// The redirect's parameters: its query, or its fragment when the query is empty (the default response
// mode of hybrid flows puts them there).
Dictionary redirectParameters(const URL& url) {
    Dictionary parameters = URLQueryComponent(url).dictionaryValue();
    if (parameters.empty() && url.fragment() && !url.fragment()->empty()) {
        if (auto asQuery = url.withPercentEncodedQuery(*url.fragment())) {
            parameters = URLQueryComponent(*asQuery).dictionaryValue();
        }
    }
    return parameters;
}

}  // namespace

template <class Request, class Response>
void ExternalUserAgentFlow<Request, Response>::presentAuthorizationWithExternalUserAgent(
    std::shared_ptr<ExternalUserAgent> externalUserAgent, Callback callback) {
    externalUserAgent_ = externalUserAgent;
    pendingCallback_ = std::move(callback);
    if (!externalUserAgent->presentExternalUserAgentRequest(request_, this->shared_from_this())) {
        didFinishWithResponse(nullptr, ErrorUtilities::errorWithCode(ErrorCode::safariOpenError, std::nullopt,
                                                                     std::string(kUnableToOpen)));
    }
}

template <class Request, class Response> void ExternalUserAgentFlow<Request, Response>::cancel() {
    cancelWithCompletion(nullptr);
}

template <class Request, class Response>
void ExternalUserAgentFlow<Request, Response>::cancelWithCompletion(std::function<void()> completion) {
    if (!externalUserAgent_ || !pendingCallback_) {
        // The flow has finished: nothing to cancel, but the caller still hears back.
        if (completion) completion();
        return;
    }
    auto self = this->shared_from_this();
    auto agent = externalUserAgent_;
    agent->dismissExternalUserAgentAnimated(true, [self, completion = std::move(completion)] {
        self->didFinishWithResponse(nullptr, self->cancelError());
        if (completion) completion();
    });
}

template <class Request, class Response>
bool ExternalUserAgentFlow<Request, Response>::shouldHandleURL(const URL& url) const {
    const auto& redirect = redirectURL();
    return redirect && AuthorizationSession::URLMatchesRedirectionURL(url, *redirect);
}

template <class Request, class Response>
bool ExternalUserAgentFlow<Request, Response>::resumeExternalUserAgentFlowWithURL(const URL& url) {
    return resume(url, false) != RedirectOutcome::notHandled;
}

template <class Request, class Response>
RedirectOutcome ExternalUserAgentFlow<Request, Response>::resumeExternalUserAgentFlowWithURLOutcome(const URL& url) {
    return resume(url, true);
}

template <class Request, class Response>
RedirectOutcome ExternalUserAgentFlow<Request, Response>::resume(const URL& url, bool refuseWrongState) {
    // A redirect that reaches a finished flow is refused and changes nothing.
    if (!shouldHandleURL(url) || !pendingCallback_) return RedirectOutcome::notHandled;
    auto [response, error] = responseForRedirect(url);
    if (refuseWrongState && error && error->domain() == kOAuthAuthorizationErrorDomain &&
        error->code() == OAuthErrorCode::clientErrorStateMismatch) {
        return RedirectOutcome::wrongState;
    }
    auto outcome = error ? RedirectOutcome::failed : RedirectOutcome::completed;
    auto self = this->shared_from_this();
    auto finish = [self, response = std::move(response), error = std::move(error)] {
        self->didFinishWithResponse(response, error);
    };
    if (auto agent = externalUserAgent_) {
        agent->dismissExternalUserAgentAnimated(true, std::move(finish));
    } else {
        finish();
    }
    return outcome;
}

template <class Request, class Response>
void ExternalUserAgentFlow<Request, Response>::failExternalUserAgentFlowWithError(const Error& error) {
    didFinishWithResponse(nullptr, error);
}

template <class Request, class Response>
void ExternalUserAgentFlow<Request, Response>::didFinishWithResponse(ResponsePtr response, OptionalError error) {
    auto callback = std::move(pendingCallback_);
    pendingCallback_ = nullptr;
    externalUserAgent_.reset();
    if (callback) callback(std::move(response), std::move(error));
}

template class ExternalUserAgentFlow<AuthorizationRequest, AuthorizationResponse>;
template class ExternalUserAgentFlow<EndSessionRequest, EndSessionResponse>;

// AuthorizationSession

std::shared_ptr<AuthorizationSession> AuthorizationSession::make(AuthorizationRequestPtr request) {
    return std::make_shared<AuthorizationSession>(std::move(request));
}

bool AuthorizationSession::URLMatchesRedirectionURL(const URL& url, const URL& redirectionURL) {
    return platform::equalsIgnoringASCIICase(url.scheme(), redirectionURL.scheme()) &&
           url.user() == redirectionURL.user() && url.password() == redirectionURL.password() &&
           url.host() == redirectionURL.host() && url.port() == redirectionURL.port() &&
           standardizedPath(url.percentEncodedPath()) == standardizedPath(redirectionURL.percentEncodedPath());
}

std::pair<AuthorizationResponsePtr, OptionalError> AuthorizationSession::responseForRedirect(const URL& url) const {
    const auto& req = request();
    Dictionary parameters = redirectParameters(url);
    auto response = AuthorizationResponse::make(req, parameters);
    // The state is checked first, for every redirect: an error redirect that does not answer this request
    // must not end the flow with what it claims.
    if (response->state() != req->state()) {
        return {nullptr, stateMismatchError(parameters, req->state(), response->state(), response->description(),
                                            "authorization response")};
    }
    if (parameters.contains("error")) {
        return {nullptr,
                ErrorUtilities::OAuthErrorWithDomain(kOAuthAuthorizationErrorDomain, parameters, std::nullopt)};
    }
    if (!response->authorizationCode()) {
        return {nullptr, ErrorUtilities::errorWithCode(ErrorCode::invalidRedirectError, std::nullopt,
                                                       std::string(kNoCodeInRedirect))};
    }
    if (response->idToken()) {
        if (auto error =
                detail::validateIDToken(*response->idToken(), *req->configuration(), req->clientID(), req->nonce())) {
            return {nullptr, std::move(error)};
        }
    }
    return {std::move(response), std::nullopt};
}

Error AuthorizationSession::cancelError() const {
    return ErrorUtilities::errorWithCode(ErrorCode::userCanceledAuthorizationFlow, std::nullopt,
                                         std::string(kFlowCancelled));
}

// EndSessionImplementation

std::shared_ptr<EndSessionImplementation> EndSessionImplementation::make(EndSessionRequestPtr request) {
    return std::make_shared<EndSessionImplementation>(std::move(request));
}

std::pair<EndSessionResponsePtr, OptionalError> EndSessionImplementation::responseForRedirect(const URL& url) const {
    Dictionary parameters = redirectParameters(url);
    auto response = EndSessionResponse::make(request(), parameters);
    if (response->state() != request()->state()) {
        return {nullptr, stateMismatchError(parameters, request()->state(), response->state(), response->description(),
                                            "end session response")};
    }
    return {std::move(response), std::nullopt};
}

Error EndSessionImplementation::cancelError() const {
    return ErrorUtilities::errorWithCode(ErrorCode::userCanceledAuthorizationFlow, std::nullopt, std::nullopt);
}

}  // namespace brisko::oauth
