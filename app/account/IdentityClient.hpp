// The identity client as the app uses it: the signed-in user, its ID tokens, state changes, sign-in
// with Ezevar tokens and sign-out. ZudiridiIdentityClient is the real one; tests put a fake in its place.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/Async.hpp"
#include "platform/base/Error.hpp"

namespace brisko::app {

class IdentityUser {
  public:
    using TokenCompletion = std::function<void(std::optional<std::string>, platform::OptionalError)>;

    virtual ~IdentityUser() = default;

    // The account's unique id at the identity service; it tells one account's data from another's.
    virtual std::string uid() const = 0;
    // The account's e-mail address, none when it has none.
    virtual std::optional<std::string> email() const = 0;
    // The current ID token without forcing a renewal; the completion runs on the main queue.
    virtual void getIDTokenWithCompletion(TokenCompletion completion) = 0;
    // The ID token, renewed first when forced or close to expiry; throws the identity client's error.
    virtual platform::Task<std::string> getIDToken(bool forcingRefresh) = 0;
    // The ID token result's token; with true renewed first. The completion runs on the main queue with
    // a token, an error, or neither.
    virtual void getIDTokenResultForcingRefresh(bool forcingRefresh, TokenCompletion completion) = 0;
};

class IdentityClient {
  public:
    using StateListener = std::function<void(std::shared_ptr<IdentityUser>)>;
    using ListenerHandle = std::uint64_t;

    virtual ~IdentityClient() = default;

    // The signed-in user, none when nobody is (or when the identity client cannot be reached).
    virtual std::shared_ptr<IdentityUser> currentUser() = 0;
    // Calls the listener on the main queue soon with the current user, then on each change of user.
    // The same user is the same object each time.
    virtual ListenerHandle addStateDidChangeListener(StateListener listener) = 0;
    // Signs in with an Ezevar credential made of these tokens; throws the identity client's error.
    virtual platform::Task<void> signIn(std::string idToken, std::string accessToken) = 0;
    // Signs out; throws platform::ErrorException when the stored user cannot be removed.
    virtual void signOut() = 0;
};

}  // namespace brisko::app
