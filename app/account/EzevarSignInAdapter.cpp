// Calls the Ezevar sign-in layer's shared instance.
#include "app/account/EzevarSignInAdapter.hpp"

#include "signin/SignIn.hpp"

namespace brisko::app {

bool EzevarSignInAdapter::hasConfiguration() {
    return signin::SignIn::sharedInstance().configuration().has_value();
}

void EzevarSignInAdapter::setConfiguration(std::string clientID) {
    signin::SignIn::sharedInstance().setConfiguration(signin::Configuration(std::move(clientID)));
}

platform::Task<EzevarSignInClient::Tokens> EzevarSignInAdapter::signIn(std::uint64_t presentingWindow) {
    auto result = co_await platform::withContinuation<std::shared_ptr<signin::SignInResult>>(
        [presentingWindow](platform::Continuation<std::shared_ptr<signin::SignInResult>> c) {
            signin::SignIn::sharedInstance().signInWithPresentingWindow(
                presentingWindow,
                [c](std::shared_ptr<signin::SignInResult> result, platform::OptionalError error) mutable {
                    if (error) {
                        c.resumeThrowing(*error);
                    } else {
                        c.resume(std::move(result));
                    }
                });
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

}  // namespace brisko::app
