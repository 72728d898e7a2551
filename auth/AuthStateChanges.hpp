// The identity client's announcements as asynchronous sequences of the current user: account changes
// (authStateChanges) and every announcement, token refreshes included (idTokenChanges).
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "auth/Auth.hpp"
#include "platform/base/Async.hpp"

namespace brisko::auth {

class AuthStateChangeIterator {
public:
    enum class Kind { authState, idToken };
    AuthStateChangeIterator(std::shared_ptr<Auth> auth, Kind kind);
    ~AuthStateChangeIterator();
    AuthStateChangeIterator(const AuthStateChangeIterator&) = delete;
    AuthStateChangeIterator& operator=(const AuthStateChangeIterator&) = delete;

    // The next announced user (null when signed out). The sequence never ends by itself: the outer
    // optional is always set. Values are buffered without bound, so none is lost.
    platform::Task<std::optional<std::shared_ptr<User>>> next();

private:
    struct Stream {
        std::mutex mutex;
        std::deque<std::shared_ptr<User>> buffer;
        std::optional<platform::Continuation<std::shared_ptr<User>>> waiter;
        void yield(std::shared_ptr<User> user);
    };
    std::shared_ptr<Auth> auth_;
    Kind kind_;
    std::shared_ptr<Stream> stream_;
    Auth::ListenerHandle handle_;
};

struct AuthStateChangesSequence {
    std::shared_ptr<Auth> auth;
    std::unique_ptr<AuthStateChangeIterator> makeAsyncIterator() const {
        return std::make_unique<AuthStateChangeIterator>(auth, AuthStateChangeIterator::Kind::authState);
    }
};

struct IDTokenChangesSequence {
    std::shared_ptr<Auth> auth;
    std::unique_ptr<AuthStateChangeIterator> makeAsyncIterator() const {
        return std::make_unique<AuthStateChangeIterator>(auth, AuthStateChangeIterator::Kind::idToken);
    }
};

inline AuthStateChangesSequence authStateChanges(std::shared_ptr<Auth> auth) {
    return {std::move(auth)};
}
inline IDTokenChangesSequence idTokenChanges(std::shared_ptr<Auth> auth) {
    return {std::move(auth)};
}

}  // namespace brisko::auth
