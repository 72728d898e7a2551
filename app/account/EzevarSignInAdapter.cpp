// Calls the Ezevar sign-in layer's shared instance.
#include "app/account/EzevarSignInAdapter.hpp"

#include <cstdlib>

#include "oauth/AuthorizationService.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"
#include "platform/net/URLSession.hpp"
#include "signin/SignIn.hpp"

namespace brisko::app {

namespace {
constexpr std::string_view kLocalTrustLog = "[Companion] Ezevar のテスト用 CA を信頼します: %@";
}  // namespace

EzevarSignInAdapter::EzevarSignInAdapter() {
    const char* caFile = std::getenv(std::string(kTrustedCAEnvironmentVariable).c_str());
    if (!caFile || !*caFile) return;
    auto configuration = platform::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.tlsTrustedCAFile = std::string(caFile);
    oauth::URLSessionProvider::setSession(platform::URLSession::sessionWithConfiguration(configuration));
    signin::SignIn::sharedInstance().setFetcherConfiguration(configuration);
    platform::logLine(platform::format(kLocalTrustLog, {std::string(caFile)}));
}

bool EzevarSignInAdapter::hasConfiguration() {
    return signin::SignIn::sharedInstance().configuration() != nullptr;
}

void EzevarSignInAdapter::setConfiguration(std::string clientID) {
    signin::SignIn::sharedInstance().setConfiguration(std::make_shared<signin::Configuration>(std::move(clientID)));
}

void EzevarSignInAdapter::report(bool waiting, std::optional<platform::Error> error) {
    if (progress_) progress_(waiting, std::move(error));
}

platform::Task<EzevarSignInClient::Tokens> EzevarSignInAdapter::signIn(std::uint64_t presentingWindow) {
    auto result = co_await platform::withContinuation<std::shared_ptr<signin::SignInResult>>(
        [this, presentingWindow](platform::Continuation<std::shared_ptr<signin::SignInResult>> c) {
            auto completion = [this, c](std::shared_ptr<signin::SignInResult> result,
                                        platform::OptionalError error) mutable {
                report(false, error);
                if (error) {
                    c.resumeThrowing(*error);
                } else {
                    c.resume(std::move(result));
                }
            };
            try {
                signin::SignIn::sharedInstance().signInWithPresentingWindow(presentingWindow, completion);
                report(true, std::nullopt);
            } catch (const platform::ProgrammingException& e) {
                // A set-up mistake (no client ID, an undeclared URL scheme): said in the log and the window.
                platform::log(platform::LogLevel::error, "signin", e.reason());
                platform::Error error(std::string(signin::kSignInErrorDomain),
                                      static_cast<std::int64_t>(signin::SignInErrorCode::unknown),
                                      {{std::string(platform::kLocalizedDescriptionKey), e.reason()}});
                report(false, error);
                c.resumeThrowing(error);
            }
        });
    Tokens tokens;
    auto user = result ? result->user() : nullptr;
    if (user && user->idToken()) tokens.idToken = user->idToken()->tokenString();
    if (user && user->accessToken()) tokens.accessToken = user->accessToken()->tokenString();
    co_return tokens;
}

bool EzevarSignInAdapter::handleURL(std::string_view url) {
    return signin::SignIn::sharedInstance().handleURL(url);
}

void EzevarSignInAdapter::signOut() {
    signin::SignIn::sharedInstance().signOut();
}

bool EzevarSignInAdapter::cancelSignIn() {
    return signin::SignIn::sharedInstance().cancelSignIn();
}

void EzevarSignInAdapter::setProgressHandler(ProgressHandler handler) {
    progress_ = std::move(handler);
}

}  // namespace brisko::app
