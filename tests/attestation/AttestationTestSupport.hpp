// Helpers of the attestation tests: an in-memory keychain and user defaults for each test, waiting for
// promises and completions while the main queue runs, and stand-in providers.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <doctest/doctest.h>

#include "attestation/AppVouch.hpp"
#include "attestation/promises/Promises.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/storage/InMemoryKeychain.hpp"
#include "platform/storage/Keychain.hpp"
#include "platform/storage/UserDefaults.hpp"

namespace brisko::attestation::testing {

// Each test gets its own keychain and user defaults in memory.
class AttestationTestEnvironment {
public:
    AttestationTestEnvironment() : keychain(std::make_shared<platform::InMemoryKeychain>()) {
        platform::Keychain::setDefaultKeychain(keychain);
        platform::UserDefaults::Store::setShared(platform::UserDefaults::Store::inMemory());
    }
    ~AttestationTestEnvironment() {
        // Lets callbacks still queued finish before the stores go.
        promises::waitForGroup(5);
        platform::Keychain::setDefaultKeychain(nullptr);
        platform::UserDefaults::Store::setShared(nullptr);
    }
    AttestationTestEnvironment(const AttestationTestEnvironment&) = delete;
    AttestationTestEnvironment& operator=(const AttestationTestEnvironment&) = delete;

    std::shared_ptr<platform::InMemoryKeychain> keychain;
};

inline bool runUntil(const std::function<bool()>& done) {
    return platform::MainLoop::runUntil(done, std::chrono::seconds(15));
}

// Lets queued callbacks (main queue included) finish.
inline bool waitForGroup() {
    return promises::waitForGroup(10);
}

template <class T> bool settles(const promises::Promise<T>& p) {
    return runUntil([&] { return !p.isPending(); });
}

// Collects one completion's outcome.
struct TokenOutcome {
    std::atomic<bool> done{false};
    std::optional<AppVouchToken> token;
    std::optional<platform::Error> error;

    AppVouchProvider::TokenCompletion completion() {
        return [this](std::optional<AppVouchToken> t, std::optional<platform::Error> e) {
            token = std::move(t);
            error = std::move(e);
            done = true;
        };
    }
    bool wait() {
        return runUntil([&] { return done.load(); });
    }
};

// A provider that answers from a script and counts its calls; answers can be held back.
class ScriptedProvider : public AppVouchProvider {
public:
    std::function<std::optional<AppVouchToken>()> nextToken = [] {
        return AppVouchToken("provider-token", platform::now() + std::chrono::hours(1), platform::now());
    };
    std::optional<platform::Error> failWith;
    bool holdAnswers = false;

    void getTokenWithCompletion(TokenCompletion completion) override { answer(false, std::move(completion)); }
    void getLimitedUseTokenWithCompletion(TokenCompletion completion) override { answer(true, std::move(completion)); }

    int calls() const { return calls_.load(); }
    int limitedUseCalls() const { return limitedUseCalls_.load(); }
    // Answers the held requests.
    void release() {
        std::vector<TokenCompletion> held;
        {
            std::lock_guard lock(mutex_);
            held.swap(held_);
        }
        for (auto& c : held) respond(c);
    }

private:
    void answer(bool limitedUse, TokenCompletion completion) {
        ++calls_;
        if (limitedUse) ++limitedUseCalls_;
        if (holdAnswers) {
            std::lock_guard lock(mutex_);
            held_.push_back(std::move(completion));
            return;
        }
        respond(completion);
    }
    void respond(const TokenCompletion& completion) {
        auto token = failWith ? std::nullopt : nextToken();
        auto error = failWith;
        platform::DispatchQueue::main()->async([completion, token, error] { completion(token, error); });
    }

    std::atomic<int> calls_{0};
    std::atomic<int> limitedUseCalls_{0};
    std::mutex mutex_;
    std::vector<TokenCompletion> held_;
};

}  // namespace brisko::attestation::testing
