// An identity client of a fresh app against the local identity service, for the multi-factor and
// provider tests.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "auth/Auth.hpp"
#include "platform/base/Async.hpp"
#include "tests/support/identity-service/IdentityService.hpp"

namespace brisko::auth::test {

inline constexpr const char* kFixtureEzevarAppID = "1:123456789012:ios:0123456789abcdef";

struct IdentityFixture {
    testing::IdentityService service;
    std::shared_ptr<core::App> app;
    std::shared_ptr<Auth> auth;

    // `clientID`: the options' client ID, when the test needs one.
    explicit IdentityFixture(std::optional<std::string> clientID = std::nullopt);
    ~IdentityFixture();

    // An account with a verified address (the service enrols second factors only then).
    std::string createVerifiedAccount(const std::string& email, const std::string& password);
    // Lets the client's queue and the main queue finish what they were given.
    void settle();
};

template <class T>
T run(platform::Task<T> task) {
    return platform::runOnMainLoop(std::move(task), std::chrono::seconds(30));
}

// Runs the main queue until the condition holds (bounded).
inline bool waitFor(const std::function<bool()>& done) {
    return platform::MainLoop::runUntil(done, std::chrono::seconds(20));
}

// The error a task fails with; none when it succeeds.
template <class T>
platform::OptionalError failure(platform::Task<T> task) {
    try {
        run(std::move(task));
    } catch (const platform::ErrorException& e) {
        return e.error();
    }
    return std::nullopt;
}

}  // namespace brisko::auth::test
