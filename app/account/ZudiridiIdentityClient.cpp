// The identity client of the default app behind the app's identity interface.
#include "app/account/ZudiridiIdentityClient.hpp"

#include "app/account/AuthError.hpp"
#include "auth/Auth.hpp"
#include "auth/EzevarAuthProvider.hpp"
#include "core/App.hpp"

namespace brisko::app {

namespace {
// The identity client exists only once the app core has a default app.
std::shared_ptr<auth::Auth> reachableAuth() {
    if (!core::App::isDefaultAppConfigured()) return nullptr;
    return auth::Auth::auth();
}

class ZudiridiUser : public IdentityUser {
  public:
    explicit ZudiridiUser(std::shared_ptr<auth::User> user) : user_(std::move(user)) {}

    std::string uid() const override { return user_->uid(); }
    std::optional<std::string> email() const override { return user_->email(); }
    void getIDTokenWithCompletion(TokenCompletion completion) override {
        user_->getIDTokenWithCompletion(std::move(completion));
    }
    platform::Task<std::string> getIDToken(bool forcingRefresh) override {
        co_return co_await user_->getIDToken(forcingRefresh);
    }
    void getIDTokenResultForcingRefresh(bool forcingRefresh, TokenCompletion completion) override {
        user_->getIDTokenResultForcingRefresh(forcingRefresh, [completion = std::move(completion)](
                                                                  std::optional<auth::AuthTokenResult> result,
                                                                  platform::OptionalError error) {
            completion(result ? std::optional<std::string>(result->token) : std::nullopt, std::move(error));
        });
    }

  private:
    std::shared_ptr<auth::User> user_;
};
}  // namespace

std::shared_ptr<IdentityUser> ZudiridiIdentityClient::wrap(const std::shared_ptr<auth::User>& user) {
    if (!user) return nullptr;
    std::lock_guard lock(mutex_);
    if (user != wrappedUser_) {
        wrappedUser_ = user;
        wrapper_ = std::make_shared<ZudiridiUser>(user);
    }
    return wrapper_;
}

std::shared_ptr<IdentityUser> ZudiridiIdentityClient::currentUser() {
    auto auth = reachableAuth();
    return auth ? wrap(auth->currentUser()) : nullptr;
}

IdentityClient::ListenerHandle ZudiridiIdentityClient::addStateDidChangeListener(StateListener listener) {
    auto auth = reachableAuth();
    if (!auth) return 0;
    std::weak_ptr<ZudiridiIdentityClient> weak = weak_from_this();
    return auth->addStateDidChangeListener(
        [weak, listener = std::move(listener)](std::shared_ptr<auth::Auth>,
                                               std::shared_ptr<auth::User> user) {
            auto self = weak.lock();
            if (self) listener(self->wrap(user));
        });
}

platform::Task<void> ZudiridiIdentityClient::signIn(std::string idToken, std::string accessToken) {
    auto auth = reachableAuth();
    // Without the options file there is no identity client to sign in to.
    if (!auth) throw platform::ErrorException(AuthError::missingClientID());
    co_await auth->signIn(auth::EzevarAuthProvider::credential(std::move(idToken), std::move(accessToken)));
}

void ZudiridiIdentityClient::signOut() {
    if (auto auth = reachableAuth()) auth->signOut();
}

}  // namespace brisko::app
