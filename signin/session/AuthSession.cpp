// Authorizing requests from the OAuth state, and the session's archive.
#include "signin/session/AuthSession.hpp"

#include <algorithm>
#include <cctype>

#include "oauth/IDToken.hpp"
#include "signin/SignInPreferences.hpp"

namespace brisko::signin {

namespace {
constexpr std::string_view kAuthorizationHeader = "Authorization";
constexpr std::string_view kBearerPrefix = "Bearer ";
constexpr std::string_view kAuthStateKey = "authState";
constexpr std::string_view kServiceProviderKey = "serviceProvider";
constexpr std::string_view kUserIDKey = "userID";
constexpr std::string_view kUserEmailKey = "userEmail";
constexpr std::string_view kUserEmailIsVerifiedKey = "userEmailIsVerified";
constexpr std::string_view kSubjectClaim = "sub";
constexpr std::string_view kEmailClaim = "email";
constexpr std::string_view kEmailVerifiedClaim = "email_verified";
constexpr std::string_view kEzevarAuthorizationPath = "/o/oauth2/v2/auth";
constexpr std::string_view kEzevarLegacyTokenPath = "/oauth2/v4/token";

std::optional<std::string> textClaim(const platform::Dictionary& claims, std::string_view name,
                                     std::optional<std::string> fallback) {
    auto it = claims.find(name);
    if (it != claims.end() && it->second.string()) return *it->second.string();
    return fallback;
}

platform::Error sessionError(AuthSessionErrorCode code, const platform::URLRequest& request) {
    return platform::Error(std::string(kAuthSessionErrorDomain), static_cast<std::int64_t>(code),
                           {{std::string(kAuthSessionErrorRequestKey),
                             platform::Value::object(std::make_shared<const platform::URLRequest>(request))}});
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// The platform's Boolean reading of a text: leading blanks skipped, then "Y", "y", "T", "t" or a
// non-zero digit.
bool textBoolValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    if (i >= text.size()) return false;
    const char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}
}  // namespace

std::optional<AuthSessionErrorCode> authSessionErrorCode(std::int64_t raw) {
    if (raw == 0 || raw == 1) return static_cast<AuthSessionErrorCode>(raw);
    return std::nullopt;
}

std::shared_ptr<AuthSession> AuthSession::make(std::shared_ptr<oauth::AuthState> authState,
                                               std::optional<std::string> serviceProvider,
                                               std::optional<std::string> userID, std::optional<std::string> userEmail,
                                               std::optional<std::string> userEmailIsVerified) {
    return std::shared_ptr<AuthSession>(new AuthSession(std::move(authState), std::move(serviceProvider),
                                                        std::move(userID), std::move(userEmail),
                                                        std::move(userEmailIsVerified)));
}

AuthSession::AuthSession(std::shared_ptr<oauth::AuthState> authState, std::optional<std::string> serviceProvider,
                         std::optional<std::string> userID, std::optional<std::string> userEmail,
                         std::optional<std::string> userEmailIsVerified)
    : authState_(std::move(authState)), serviceProvider_(std::move(serviceProvider)),
      serialAuthArgsQueue_(platform::DispatchQueue::make(std::string(kSerialQueueLabel))) {
    std::optional<std::string> idToken;
    if (auto token = authState_->lastTokenResponse(); token && token->idToken()) {
        idToken = token->idToken();
    } else if (auto authorization = authState_->lastAuthorizationResponse(); authorization) {
        idToken = authorization->idToken();
    }
    std::shared_ptr<const oauth::IDToken> parsed = idToken ? oauth::IDToken::initWithIDTokenString(*idToken) : nullptr;
    if (parsed) {
        // Claim names are always text in a parsed token; the values decide what is taken.
        const auto& claims = parsed->claims();
        userID_ = textClaim(claims, kSubjectClaim, std::move(userID));
        userEmail_ = textClaim(claims, kEmailClaim, std::move(userEmail));
        userEmailIsVerified_ = textClaim(claims, kEmailVerifiedClaim, std::move(userEmailIsVerified));
    } else {
        userID_ = std::move(userID);
        userEmail_ = std::move(userEmail);
        userEmailIsVerified_ = std::move(userEmailIsVerified);
    }
}

oauth::ServiceConfigurationPtr AuthSession::configurationForEzevar() {
    auto authorization = platform::URL::parse("https://" + SignInPreferences::ezevarAuthorizationServer() +
                                              std::string(kEzevarAuthorizationPath));
    auto token =
        platform::URL::parse("https://" + SignInPreferences::ezevarAPIServer() + std::string(kEzevarLegacyTokenPath));
    return std::make_shared<const oauth::ServiceConfiguration>(*authorization, *token,
                                                               SignInPreferences::ezevarIssuer());
}

bool AuthSession::userEmailIsVerified() const {
    return userEmailIsVerified_ && textBoolValue(*userEmailIsVerified_);
}

std::shared_ptr<AuthSessionDelegate> AuthSession::delegate() const {
    std::lock_guard lock(fieldsMutex_);
    return delegate_.lock();
}

void AuthSession::setDelegate(std::weak_ptr<AuthSessionDelegate> delegate) {
    std::lock_guard lock(fieldsMutex_);
    delegate_ = std::move(delegate);
}

bool AuthSession::shouldAuthorizeAllRequests() {
    std::lock_guard lock(fieldsMutex_);
    return shouldAuthorizeAllRequests_;
}

void AuthSession::setShouldAuthorizeAllRequests(bool value) {
    std::lock_guard lock(fieldsMutex_);
    shouldAuthorizeAllRequests_ = value;
}

std::shared_ptr<fetcher::SessionFetcherServiceProtocol> AuthSession::fetcherService() {
    std::lock_guard lock(fieldsMutex_);
    return fetcherService_.lock();
}

void AuthSession::setFetcherService(std::weak_ptr<fetcher::SessionFetcherServiceProtocol> service) {
    std::lock_guard lock(fieldsMutex_);
    fetcherService_ = std::move(service);
}

bool AuthSession::authorizeRequest(std::shared_ptr<platform::URLRequest> request, Completion completion) {
    if (request) authorize({std::move(request), CompletionStyle{std::move(completion)}, std::nullopt});
    return true;
}

bool AuthSession::authorizeRequest(std::shared_ptr<platform::URLRequest> request,
                                   std::shared_ptr<fetcher::FetcherAuthorizationDelegate> delegate) {
    if (request) authorize({std::move(request), DelegateStyle{delegate}, std::nullopt});
    return true;
}

void AuthSession::authorize(AuthorizationArguments arguments) {
    serialAuthArgsQueue_->sync([&] { authorizationArgs_.push_back(std::move(arguments)); });
    oauth::StringMap extra;
    if (auto d = delegate()) {
        if (auto params = d->additionalTokenRefreshParametersForAuthSession(*this)) extra = std::move(*params);
    }
    // Each outstanding request holds the session until the state answers.
    auto self = shared_from_this();
    authState_->performActionWithFreshTokens(
        [self](const std::optional<std::string>& accessToken, const std::optional<std::string>&,
               platform::OptionalError error) { self->didReceiveTokens(accessToken, std::move(error)); },
        extra);
}

void AuthSession::didReceiveTokens(const std::optional<std::string>& accessToken, platform::OptionalError error) {
    auto work = [&] {
        std::vector<AuthorizationArguments> pending = std::move(authorizationArgs_);
        authorizationArgs_.clear();
        for (auto& arguments : pending) {
            if (error) arguments.error = error;
            decide(arguments, accessToken);
            answer(std::move(arguments));
        }
    };
    if (serialAuthArgsQueue_->isCurrent()) {
        work();
    } else {
        serialAuthArgsQueue_->sync(work);
    }
}

void AuthSession::decide(AuthorizationArguments& arguments, const std::optional<std::string>& accessToken) {
    const auto& url = arguments.request->url();
    bool eligible = !url || equalsIgnoringCase(url->scheme(), "https") || url->isFileURL();
    if (!eligible) eligible = shouldAuthorizeAllRequests() && accessToken.has_value();
    const bool hasToken = accessToken && !accessToken->empty();
    if (eligible && hasToken) {
        arguments.request->setValue(std::string(kBearerPrefix) + *accessToken, kAuthorizationHeader);
        arguments.error.reset();
    } else if (arguments.error) {
        // The refresh error stays.
    } else if (!hasToken) {
        arguments.error = sessionError(AuthSessionErrorCode::accessTokenEmptyForRequest, *arguments.request);
    } else {
        arguments.error = sessionError(AuthSessionErrorCode::cannotAuthorizeRequest, *arguments.request);
    }
}

void AuthSession::answer(AuthorizationArguments arguments) {
    auto d = delegate();
    if (arguments.error && d) {
        auto self = shared_from_this();
        auto shared = std::make_shared<AuthorizationArguments>(std::move(arguments));
        const platform::Error original = *shared->error;
        const bool offered =
            d->updateErrorForAuthSession(*this, original, [self, shared](platform::OptionalError error) {
                if (error) shared->error = std::move(error);
                self->dispatchAnswer(std::move(*shared));
            });
        if (offered) return;
        arguments = std::move(*shared);
    }
    dispatchAnswer(std::move(arguments));
}

void AuthSession::dispatchAnswer(AuthorizationArguments arguments) {
    std::shared_ptr<platform::DispatchQueue> queue;
    if (auto service = fetcherService()) queue = service->callbackQueue();
    if (!queue) queue = platform::DispatchQueue::main();
    auto self = shared_from_this();
    queue->async([self, arguments = std::move(arguments)]() mutable {
        if (auto* style = std::get_if<CompletionStyle>(&arguments.callbackStyle)) {
            if (style->completion) style->completion(arguments.error);
            return;
        }
        auto& delegateStyle = std::get<DelegateStyle>(arguments.callbackStyle);
        if (auto target = delegateStyle.delegate.lock())
            target->authorizerRequestFinishedWithError(self, std::make_shared<platform::URLRequest>(*arguments.request),
                                                       arguments.error);
    });
}

void AuthSession::stopAuthorization() {
    serialAuthArgsQueue_->sync([&] { authorizationArgs_.clear(); });
}

void AuthSession::stopAuthorizationForRequest(const platform::URLRequest& request) {
    serialAuthArgsQueue_->sync([&] {
        auto it = std::find_if(authorizationArgs_.begin(), authorizationArgs_.end(),
                               [&](const AuthorizationArguments& a) { return *a.request == request; });
        if (it != authorizationArgs_.end()) authorizationArgs_.erase(it);
    });
}

bool AuthSession::isAuthorizingRequest(const platform::URLRequest& request) {
    return serialAuthArgsQueue_->syncResult([&] {
        return std::any_of(authorizationArgs_.begin(), authorizationArgs_.end(),
                           [&](const AuthorizationArguments& a) { return *a.request == request; });
    });
}

bool AuthSession::isAuthorizedRequest(const platform::URLRequest& request) {
    auto value = request.valueForHTTPHeaderField(kAuthorizationHeader);
    return value && !value->empty();
}

bool AuthSession::canAuthorize() {
    return authState_->isAuthorized();
}

std::optional<bool> AuthSession::primeForRefresh() {
    if (!authState_->refreshToken()) return false;
    authState_->setNeedsTokenRefresh();
    return true;
}

void AuthSession::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(authState_, kAuthStateKey);
    auto put = [&](const std::optional<std::string>& value, std::string_view key) {
        if (value) coder.encodeObject(platform::Value(*value), key);
    };
    put(serviceProvider_, kServiceProviderKey);
    put(userID_, kUserIDKey);
    put(userEmail_, kUserEmailKey);
    put(userEmailIsVerified_, kUserEmailIsVerifiedKey);
}

std::shared_ptr<AuthSession> AuthSession::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto state = coder.decodeObjectOfClass<oauth::AuthState>(kAuthStateKey);
    if (!state) return nullptr;
    return make(std::move(state), coder.decodeObjectOfClass<std::string>(kServiceProviderKey),
                coder.decodeObjectOfClass<std::string>(kUserIDKey),
                coder.decodeObjectOfClass<std::string>(kUserEmailKey),
                coder.decodeObjectOfClass<std::string>(kUserEmailIsVerifiedKey));
}

}  // namespace brisko::signin
