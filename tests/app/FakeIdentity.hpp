// Stand-ins for the identity service and Ezevar's sign-in, which tests cannot reach: a user with a
// scripted ID token and refresh, an identity client whose user the test sets, and an Ezevar sign-in
// that answers with scripted tokens.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/account/EzevarSignInClient.hpp"
#include "app/account/IdentityClient.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/Error.hpp"

namespace brisko::app::test {

inline platform::Error identityError(std::int64_t code = 17020) {
    return platform::Error("ZIRAuthErrorDomain", code, {{"NSLocalizedDescription", "identity failure"}});
}

class FakeIdentityUser : public IdentityUser {
public:
    explicit FakeIdentityUser(std::optional<std::string> email, std::string token = "token-1",
                              std::string uid = "uid-1")
        : email_(std::move(email)), token_(std::move(token)), uid_(std::move(uid)) {}

    std::string uid() const override { return uid_; }
    std::optional<std::string> email() const override { return email_; }
    void getIDTokenWithCompletion(TokenCompletion completion) override {
        auto token = tokenFails ? std::nullopt : std::optional<std::string>(token_);
        auto error = tokenFails ? std::optional<platform::Error>(identityError()) : std::nullopt;
        platform::DispatchQueue::main()->async([completion, token, error] { completion(token, error); });
    }
    platform::Task<std::string> getIDToken(bool forcingRefresh) override {
        ++tokenRequests;
        if (forcingRefresh) refreshToken();
        if (tokenFails) throw platform::ErrorException(identityError());
        co_return token_;
    }
    void getIDTokenResultForcingRefresh(bool forcingRefresh, TokenCompletion completion) override {
        ++forcedRefreshes;
        if (forcingRefresh) refreshToken();
        auto token = refreshFails ? std::nullopt : std::optional<std::string>(token_);
        auto error = refreshFails ? std::optional<platform::Error>(identityError()) : std::nullopt;
        platform::DispatchQueue::main()->async([completion, token, error] { completion(token, error); });
    }

    const std::string& token() const { return token_; }
    void setToken(std::string token) { token_ = std::move(token); }
    void setUid(std::string uid) { uid_ = std::move(uid); }

    bool tokenFails = false;
    bool refreshFails = false;
    int tokenRequests = 0;
    int forcedRefreshes = 0;

private:
    void refreshToken() {
        if (!refreshFails) token_ = "refreshed-" + std::to_string(++refreshCount_);
    }
    std::optional<std::string> email_;
    std::string token_;
    std::string uid_;
    int refreshCount_ = 0;
};

class FakeIdentityClient : public IdentityClient {
public:
    std::shared_ptr<IdentityUser> currentUser() override { return user_; }
    ListenerHandle addStateDidChangeListener(StateListener listener) override {
        listeners_.push_back(listener);
        auto user = user_;
        platform::DispatchQueue::main()->async([listener, user] { listener(user); });
        return listeners_.size();
    }
    platform::Task<void> signIn(std::string idToken, std::string accessToken) override {
        signIns.emplace_back(idToken, accessToken);
        if (signInError) throw platform::ErrorException(*signInError);
        setUser(std::make_shared<FakeIdentityUser>("signed.in@example.com"));
        co_return;
    }
    void signOut() override {
        if (beforeSignOut) beforeSignOut();
        events->push_back("identity.signOut");
        if (signOutError) throw platform::ErrorException(*signOutError);
        setUser(nullptr);
    }

    // Changes the user and tells the listeners on the main queue, as the identity client does.
    void setUser(std::shared_ptr<IdentityUser> user) {
        user_ = std::move(user);
        for (auto& l : listeners_) {
            auto u = user_;
            platform::DispatchQueue::main()->async([l, u] { l(u); });
        }
    }
    // Tells the listeners again without a change (a token renewal must not pair again).
    void reportAgain() { setUser(user_); }

    std::vector<std::pair<std::string, std::string>> signIns;
    std::optional<platform::Error> signInError;
    std::optional<platform::Error> signOutError;
    std::function<void()> beforeSignOut;
    std::shared_ptr<std::vector<std::string>> events = std::make_shared<std::vector<std::string>>();

private:
    std::shared_ptr<IdentityUser> user_;
    std::vector<StateListener> listeners_;
};

class FakeEzevarSignIn : public EzevarSignInClient {
public:
    bool hasConfiguration() override { return clientID.has_value(); }
    void setConfiguration(std::string id) override { clientID = std::move(id); }
    platform::Task<Tokens> signIn(std::uint64_t window) override {
        presentedOn.push_back(window);
        if (error) throw platform::ErrorException(*error);
        co_return tokens;
    }
    bool handleURL(std::string_view url) override {
        offered.emplace_back(url);
        return accepts && accepts(url);
    }
    void signOut() override { events->push_back("ezevar.signOut"); }

    std::optional<std::string> clientID;
    Tokens tokens{"ezevar-id-token", "ezevar-access-token"};
    std::optional<platform::Error> error;
    std::vector<std::uint64_t> presentedOn;
    std::vector<std::string> offered;
    std::function<bool(std::string_view)> accepts;
    std::shared_ptr<std::vector<std::string>> events = std::make_shared<std::vector<std::string>>();
};

}  // namespace brisko::app::test
