// The identity client stand-in: keeps its listeners and reports that nobody is signed in.
#include "auth/Auth.hpp"

#include "core/App.hpp"
#include "platform/base/Dispatch.hpp"

namespace brisko::auth {

namespace {
constexpr const char* kNotAvailable = "Sign-in is not available yet: this build has no identity service.";
}

std::shared_ptr<Auth> Auth::auth() {
    if (!core::App::isDefaultAppConfigured()) {
        platform::fatal(
            "The default ZudiridiApp instance must be configured before the default Auth instance can be "
            "initialized. (ZudiridiRozu/Auth.swift)");
    }
    static const auto instance = std::make_shared<Auth>();
    return instance;
}

std::shared_ptr<User> Auth::currentUser() const {
    std::lock_guard lock(mutex_);
    return currentUser_;
}

Auth::ListenerHandle Auth::addStateDidChangeListener(StateDidChangeListener listener) {
    ListenerHandle handle;
    {
        std::lock_guard lock(mutex_);
        handle = nextHandle_++;
        listeners_.emplace_back(handle, listener);
    }
    std::weak_ptr<Auth> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak, listener = std::move(listener)] {
        if (auto self = weak.lock()) listener(self, self->currentUser());
    });
    return handle;
}

void Auth::removeStateDidChangeListener(ListenerHandle handle) {
    std::lock_guard lock(mutex_);
    std::erase_if(listeners_, [handle](const auto& entry) { return entry.first == handle; });
}

platform::Task<AuthDataResult> Auth::signIn(AuthCredential) {
    throw platform::ErrorException(
        platform::Error(std::string(kAuthErrorDomain), kAuthErrorCodeOperationNotAllowed,
                        {{std::string(platform::kLocalizedDescriptionKey), kNotAvailable}}));
    co_return AuthDataResult{};
}

void Auth::signOut() {
    std::lock_guard lock(mutex_);
    currentUser_.reset();
}

}  // namespace brisko::auth
