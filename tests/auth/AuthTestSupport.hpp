// The identity-client tests' fixture: a configured app whose identity client talks to the local
// identity service through the emulator address, an in-memory keychain, in-memory user defaults and a
// manual clock shared by the client and the service.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "auth/Auth.hpp"
#include "auth/AuthKeychainStorage.hpp"
#include "platform/base/Clock.hpp"
#include "platform/storage/InMemoryKeychain.hpp"
#include "tests/support/identity-service/IdentityService.hpp"

namespace brisko::auth::test {

inline constexpr const char* kTestEzevarAppID = "1:123456789012:ios:0123456789abcdef";

// The identity client's keychain storage over an in-memory keychain shared by every client of a test.
// It passes each call through unchanged; a test makes calls fail through that keychain (`failNext`).
class ScriptedKeychainStorage : public AuthKeychainStorage {
public:
    explicit ScriptedKeychainStorage(std::shared_ptr<platform::InMemoryKeychain> keychain);
    platform::OSStatus get(const platform::KeychainQuery& q, std::vector<platform::KeychainItem>& r) override;
    platform::OSStatus add(const platform::KeychainItem& item) override;
    platform::OSStatus update(const platform::KeychainQuery& q, const platform::KeychainItemChanges& c) override;
    platform::OSStatus deleteItem(const platform::KeychainQuery& q) override;

    std::shared_ptr<platform::InMemoryKeychain> keychain;
};

struct AuthFixture {
    struct Settings {
        bool makeClock = true;
        std::shared_ptr<platform::InMemoryKeychain> keychain;  // shared with an earlier fixture: a relaunch
        std::string appName;                                   // the same name finds the same stored user
        AuthDispatcher dispatcher;
    };
    AuthFixture() : AuthFixture(Settings{}) {}
    explicit AuthFixture(Settings settings);
    ~AuthFixture();

    // A new identity client of the same app over the same keychain, as at the next launch.
    std::shared_ptr<Auth> relaunch();

    // A provider ID token (unsigned) that the local service accepts for verify-assertion.
    std::string ezevarIDToken(const std::string& subject, const std::string& email) const;
    // Signs in with an Ezevar credential and returns the result (main loop run until done).
    std::shared_ptr<AuthDataResult> signInWithEzevar(const std::string& subject = "ezevar-sub-1",
                                                     const std::string& email = "someone@example.com");
    // Runs a task on the main loop to completion.
    template <class T> T run(platform::Task<T> task) { return platform::runOnMainLoop(std::move(task)); }
    // Advances the shared clock (client and service).
    void advance(std::chrono::seconds seconds);
    // Waits for work queued on the identity client's work queue and then the main queue.
    void settle();

    std::shared_ptr<platform::ManualClock> clock;
    std::optional<platform::ScopedClock> scopedClock;
    testing::IdentityService service;
    std::shared_ptr<platform::InMemoryKeychain> keychain;
    std::shared_ptr<ScriptedKeychainStorage> storage;
    std::string appName;
    std::shared_ptr<core::App> app;
    std::shared_ptr<Auth> auth;
    AuthDispatcher dispatcher;
};

// Runs main-queue work until the predicate holds (bounded).
bool waitOnMain(const std::function<bool()>& done);

// The code of the identity error the call throws; 0 when it throws none.
inline std::int64_t errorCode(const std::function<void()>& f) {
    try {
        f();
    } catch (const platform::ErrorException& e) {
        return e.error().code();
    }
    return 0;
}

}  // namespace brisko::auth::test
