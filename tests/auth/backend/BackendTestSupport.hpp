// Shared helpers of the backend tests: running calls to completion, reading their errors, a stand-in
// identity client, and a backend pointed at a local identity service.
#pragma once

#include <doctest/doctest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "auth/backend/AuthBackend.hpp"
#include "platform/base/Async.hpp"
#include "tests/support/identity-service/IdentityService.hpp"

namespace brisko::auth::testing {

// The identity client as the backend sees it: a settable tenant and a resolver value that records
// what it was made of.
class FakeAuthClient : public AuthBackendClient {
public:
    std::optional<std::string> tenant;
    std::optional<std::string> tenantID() const override { return tenant; }
    platform::Value multiFactorResolver(const std::string& pendingCredential,
                                        const std::vector<AuthProtoMFAEnrollment>& hints) override {
        platform::Array ids;
        for (const auto& h : hints) ids.emplace_back(h.mfaEnrollmentID.value_or(""));
        return platform::Value(platform::Dictionary{{"pendingCredential", pendingCredential}, {"hints", ids}});
    }
};

template <class T> T run(platform::Task<T> task) {
    return platform::runOnMainLoop(std::move(task), std::chrono::seconds(20));
}

// The error a call failed with; fails the test when it succeeded.
template <class T> platform::Error failure(platform::Task<T> task) {
    try {
        platform::runOnMainLoop(std::move(task), std::chrono::seconds(20));
    } catch (const platform::ErrorException& e) {
        return e.error();
    }
    FAIL("the call succeeded");
    return platform::Error("", 0);
}

// The internal error under a 17999.
inline platform::Error internalError(const platform::Error& error) {
    REQUIRE(error.domain() == AuthErrors::domain);
    REQUIRE(error.code() == 17999);
    auto underlying = error.underlyingError();
    REQUIRE(underlying);
    CHECK(underlying->domain() == kAuthInternalErrorDomain);
    return *underlying;
}

inline std::string descriptionOf(const platform::Error& error) {
    const auto* v = error.userInfoValue(platform::kLocalizedDescriptionKey);
    return v && v->string() ? *v->string() : std::string();
}

inline std::string nameOf(const platform::Error& error) {
    const auto* v = error.userInfoValue(AuthErrors::userInfoNameKey);
    return v && v->string() ? *v->string() : std::string();
}

// A configuration and backend talking to a local identity service.
struct ServiceFixture {
    brisko::testing::IdentityService service;
    std::shared_ptr<FakeAuthClient> client = std::make_shared<FakeAuthClient>();
    std::shared_ptr<AuthRequestConfiguration> configuration =
        AuthRequestConfiguration::make(service.apiKey(), "1:123:ios:abc", client);
    std::shared_ptr<AuthBackend> backend = std::make_shared<AuthBackend>();

    ServiceFixture() { configuration->setEmulatorHostAndPort(service.emulatorHostAndPort()); }
};

}  // namespace brisko::auth::testing
