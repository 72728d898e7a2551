// Helpers for the provider tests that run against the local identity service, over the identity
// client's own test fixture (tests/auth/AuthTestSupport): accounts, apps with a client ID, failures.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "core/App.hpp"
#include "core/Options.hpp"
#include "platform/base/Async.hpp"
#include "tests/auth/AuthTestSupport.hpp"

namespace brisko::auth::test {

// An account with a verified address (the service enrols second factors only then).
inline std::string createVerifiedAccount(AuthFixture& f, const std::string& email, const std::string& password) {
    auto uid = f.service.createAccount(email, password);
    f.service.updateAccount(uid, [](testing::IdentityService::Account& account) { account.emailVerified = true; });
    return uid;
}

// The name of a newly configured app whose options carry the client ID (for AuthFixture::Settings).
inline std::string appWithClientID(const std::string& clientID) {
    static std::atomic<int> counter{0};
    const std::string name = "providers-client-id-" + std::to_string(++counter);
    auto options = core::Options::initWithEzevarAppID(std::string(kTestEzevarAppID), "123456789012");
    options->setAPIKey("test-api-key");
    options->setProjectID("brisko-local");
    options->setClientID(clientID);
    core::App::configureWithName(name, options);
    return name;
}

template <class T> T run(platform::Task<T> task) {
    return platform::runOnMainLoop(std::move(task), std::chrono::seconds(30));
}

// The error a task fails with; none when it succeeds.
template <class T> platform::OptionalError failure(platform::Task<T> task) {
    try {
        run(std::move(task));
    } catch (const platform::ErrorException& e) {
        return e.error();
    }
    return std::nullopt;
}

}  // namespace brisko::auth::test
