// The account service.
#include "app/account/AuthService.hpp"

#include "app/recording/ActivityTrackingService.hpp"
#include "app/account/AuthError.hpp"
#include "app/CompanionService.hpp"
#include "app/account/EzevarSignInAdapter.hpp"
#include "app/recording/JSONText.hpp"
#include "app/account/ZudiridiIdentityClient.hpp"
#include "core/App.hpp"
#include "core/Options.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/ProcessInfo.hpp"
#include "platform/base/Text.hpp"

namespace brisko::app {

namespace {
constexpr const char* kOptionsResourceName = "EzevarService-Info";
constexpr const char* kOptionsResourceType = "plist";
constexpr const char* kOptionsNotFoundLog = "❌ EzevarService-Info.plist not found in bundle";
constexpr const char* kOptionsUnreadableLog = "❌ Failed to load ZudiridiOptions from plist";
constexpr const char* kConfiguredLog = "✅ Zudiridi configured from EzevarService-Info.plist";
constexpr const char* kIDTokenErrorLog = "❌ IDトークン取得エラー: %@";
constexpr const char* kPairedLog = "[Companion] Desktop Companion ペアリング完了";
constexpr const char* kPairingFailedLog = "[Companion] ペアリング失敗（無視して継続）: %@";
constexpr const char* kUnpairedLog = "[Companion] Desktop Companion ペアリング解除完了";
constexpr const char* kUnpairingFailedLog = "[Companion] ペアリング解除失敗（無視して継続）: %@";
constexpr const char* kDefaultDeviceName = "Mac";

bool isSuccess(int status) {
    return status >= 200 && status <= 299;
}

platform::Task<void> runPairing(std::shared_ptr<AuthService> service) {
    co_await service->registerDesktopCompanion();
}
}  // namespace

std::shared_ptr<AuthService> AuthService::shared() {
    static const std::shared_ptr<AuthService> instance = make(Dependencies{
        .identity = std::make_shared<ZudiridiIdentityClient>(),
        .ezevar = std::make_shared<EzevarSignInAdapter>(),
        .session = companionServiceSession(),
        .apiBaseURL = companionServiceBaseURL(),
        .optionsFilePath = []() -> std::optional<std::string> {
            auto path = platform::Bundle::main()->pathForResource(kOptionsResourceName, kOptionsResourceType);
            if (!path) return std::nullopt;
            return path->string();
        },
        .computerName = [] { return platform::ProcessInfo::processInfo().computerName().value_or(""); },
    });
    return instance;
}

std::shared_ptr<AuthService> AuthService::make(Dependencies dependencies) {
    return std::shared_ptr<AuthService>(new AuthService(std::move(dependencies)));
}

AuthService::AuthService(Dependencies dependencies) : deps_(std::move(dependencies)) {}

std::optional<std::string> AuthService::defaultAppClientID() const {
    // Asked only once an app exists: the look-up logs an error line when there is none.
    if (!core::App::isDefaultAppConfigured()) return std::nullopt;
    auto app = core::App::defaultApp();
    if (!app) return std::nullopt;
    return app->options()->clientID();
}

void AuthService::configureZudiridi() {
    if (!didConfigureZudiridi_) {
        auto path = deps_.optionsFilePath ? deps_.optionsFilePath() : std::nullopt;
        if (!path) {
            platform::logLine(kOptionsNotFoundLog);
            return;
        }
        auto options = core::Options::initWithContentsOfFile(*path);
        if (!options) {
            platform::logLine(kOptionsUnreadableLog);
            return;
        }
        // The app core is configured once per process, whichever service instance gets there first.
        if (!core::App::isDefaultAppConfigured()) core::App::configureWithOptions(options);
        didConfigureZudiridi_ = true;
        platform::logLine(kConfiguredLog);
        if (auto clientID = options->clientID()) deps_.ezevar->setConfiguration(*clientID);
    }
    if (auto clientID = defaultAppClientID()) deps_.ezevar->setConfiguration(*clientID);

    std::weak_ptr<AuthService> weak = weak_from_this();
    listener_ = deps_.identity->addStateDidChangeListener([weak](std::shared_ptr<IdentityUser> user) {
        if (auto self = weak.lock()) self->handleAuthStateChange(std::move(user));
    });
}

void AuthService::handleAuthStateChange(std::shared_ptr<IdentityUser> user) {
    const bool wasAuthenticated = isAuthenticated_;
    currentUser_ = user;
    isAuthenticated_ = user != nullptr;
    if (user) {
        std::weak_ptr<AuthService> weak = weak_from_this();
        user->getIDTokenWithCompletion(
            [weak, user, wasAuthenticated](std::optional<std::string> token, platform::OptionalError error) {
                if (auto self = weak.lock())
                    self->didReceiveIDToken(user, std::move(token), std::move(error), wasAuthenticated);
            });
        return;
    }
    idToken_.reset();
    // The account's undelivered samples must never go out under the next account.
    if (wasAuthenticated && onSignedOut_) onSignedOut_();
    notifyAuthStateChange(nullptr);
}

void AuthService::didReceiveIDToken(std::shared_ptr<IdentityUser> user, std::optional<std::string> token,
                                    platform::OptionalError error, bool wasAuthenticated) {
    if (token) {
        idToken_ = std::move(token);
    } else {
        platform::logLine(
            platform::format(kIDTokenErrorLog, {error ? error->localizedDescription() : std::string()}));
        idToken_.reset();
    }
    notifyAuthStateChange(user);
    if (!wasAuthenticated)
        platform::spawnDetached(platform::DispatchQueue::main(), runPairing(shared_from_this()), "pairing");
}

void AuthService::notifyAuthStateChange(std::shared_ptr<IdentityUser> user) {
    std::weak_ptr<AuthService> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak, user = std::move(user)] {
        auto self = weak.lock();
        if (self && self->onAuthStateChange_) self->onAuthStateChange_(user);
    });
}

platform::Task<void> AuthService::signIn(std::uint64_t presentingWindow) {
    auto self = shared_from_this();
    if (!deps_.ezevar->hasConfiguration()) {
        if (auto clientID = defaultAppClientID()) deps_.ezevar->setConfiguration(*clientID);
    }
    if (!deps_.ezevar->hasConfiguration()) throw platform::ErrorException(AuthError::missingClientID());

    auto tokens = co_await deps_.ezevar->signIn(presentingWindow);
    if (!tokens.idToken) throw platform::ErrorException(AuthError::noIdToken());
    co_await deps_.identity->signIn(*tokens.idToken, tokens.accessToken);
}

platform::Task<std::string> AuthService::getIDToken(bool forceRefresh) {
    auto user = deps_.identity->currentUser();
    if (!user) throw platform::ErrorException(AuthError::notAuthenticated());
    if (!forceRefresh) co_return co_await user->getIDToken(false);

    auto token = co_await platform::withContinuation<std::optional<std::string>>(
        [user](platform::Continuation<std::optional<std::string>> c) {
            user->getIDTokenResultForcingRefresh(
                true, [c](std::optional<std::string> token, platform::OptionalError error) mutable {
                    if (error) {
                        c.resumeThrowing(*error);
                    } else {
                        c.resume(std::move(token));
                    }
                });
        });
    if (!token) throw platform::ErrorException(AuthError::noIdToken());
    co_return *token;
}

platform::Task<void> AuthService::sendAuthorizedRequest(platform::URL url, std::string method,
                                                        std::optional<platform::Data> body) {
    auto self = shared_from_this();
    platform::URLRequest request(std::move(url), platform::URLRequestCachePolicy::useProtocolCachePolicy,
                                 kTimeoutSeconds);
    request.setHTTPMethod(method);
    request.setValue(std::string_view("application/json"), "Content-Type");
    request.setHTTPBody(std::move(body));

    auto user = deps_.identity->currentUser();
    if (!user) throw platform::ErrorException(AuthError::notAuthenticated());
    const std::string token = co_await user->getIDToken(false);
    request.setValue(std::string_view("Bearer " + token), "Authorization");

    auto reply = co_await deps_.session->data(request);
    int status = reply.response ? reply.response->statusCode() : 0;
    if (isSuccess(status)) co_return;
    if (status != 401) throw platform::ErrorException(AuthError::httpError(status));

    const std::string fresh = co_await getIDToken(true);
    request.setValue(std::string_view("Bearer " + fresh), "Authorization");
    reply = co_await deps_.session->data(request);
    status = reply.response ? reply.response->statusCode() : 0;
    if (!isSuccess(status)) throw platform::ErrorException(AuthError::httpError(status));
}

std::string AuthService::pairingBody(std::string_view computerName) {
    std::string body = "{\"deviceName\":";
    appendJSONString(body, trimmedOrFallback(computerName, kDefaultDeviceName));
    body += '}';
    return body;
}

platform::Task<void> AuthService::registerDesktopCompanion() {
    auto self = shared_from_this();
    if (!deps_.identity->currentUser()) co_return;
    auto url = platform::URL::parse(companionServiceAddress(deps_.apiBaseURL, kPairingPath));
    if (!url) co_return;
    const std::string body = pairingBody(deps_.computerName ? deps_.computerName() : std::string());

    std::optional<platform::Error> failure;
    try {
        co_await sendAuthorizedRequest(*url, "POST", platform::Data(body.begin(), body.end()));
    } catch (...) {
        failure = platform::errorFromException(std::current_exception());
    }
    if (failure) {
        platform::logLine(platform::format(kPairingFailedLog, {failure->localizedDescription()}));
    } else {
        platform::logLine(kPairedLog);
    }
}

platform::Task<void> AuthService::unregisterDesktopCompanion() {
    auto self = shared_from_this();
    if (!deps_.identity->currentUser()) co_return;
    auto url = platform::URL::parse(companionServiceAddress(deps_.apiBaseURL, kPairingPath));
    if (!url) co_return;

    std::optional<platform::Error> failure;
    try {
        co_await sendAuthorizedRequest(*url, "DELETE", std::nullopt);
    } catch (...) {
        failure = platform::errorFromException(std::current_exception());
    }
    if (failure) {
        platform::logLine(platform::format(kUnpairingFailedLog, {failure->localizedDescription()}));
    } else {
        platform::logLine(kUnpairedLog);
    }
}

}  // namespace brisko::app
