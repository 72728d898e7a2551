// Helpers of the fetcher tests: an isolated environment, completion recording and notification counting.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <doctest/doctest.h>

#include "fetcher/SessionFetcher.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/NotificationCenter.hpp"
#include "platform/storage/UserDefaults.hpp"

namespace brisko::fetcher::testing {

// Every test runs with in-memory user defaults, the fetcher's scheme rules on and no global test block.
struct FetcherEnvironment {
    FetcherEnvironment() {
        platform::UserDefaults::Store::setShared(platform::UserDefaults::Store::inMemory());
        SessionFetcher::setAppAllowsInsecureRequestsForTesting(true);
        SessionFetcher::setGlobalTestBlock(nullptr);
    }
    ~FetcherEnvironment() {
        SessionFetcher::setGlobalTestBlock(nullptr);
        SessionFetcher::setAppAllowsInsecureRequestsForTesting(std::nullopt);
        platform::MainLoop::drain();
        platform::UserDefaults::Store::setShared(nullptr);
    }
};

// What a completion received, and on which queue.
struct Completion {
    std::optional<platform::Data> data;
    std::optional<platform::Error> error;
    bool onExpectedQueue = false;
};

class CompletionRecorder {
  public:
    explicit CompletionRecorder(
        std::shared_ptr<platform::DispatchQueue> expectedQueue = platform::DispatchQueue::main())
        : state_(std::make_shared<State>()), expectedQueue_(std::move(expectedQueue)) {}

    SessionFetcher::CompletionHandler handler() {
        auto state = state_;
        auto queue = expectedQueue_;
        return [state, queue](std::optional<platform::Data> data, std::optional<platform::Error> error) {
            std::lock_guard lock(state->mutex);
            state->completions.push_back({std::move(data), std::move(error), queue->isCurrent()});
        };
    }
    std::size_t count() const {
        std::lock_guard lock(state_->mutex);
        return state_->completions.size();
    }
    Completion first() const {
        std::lock_guard lock(state_->mutex);
        return state_->completions.at(0);
    }
    // Runs the main queue until the completion came (and a little longer, to catch a second one).
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        bool done = platform::MainLoop::runUntil([this] { return count() > 0; }, timeout);
        platform::MainLoop::runFor(std::chrono::milliseconds(20));
        return done;
    }

  private:
    struct State {
        mutable std::mutex mutex;
        std::vector<Completion> completions;
    };
    std::shared_ptr<State> state_;
    std::shared_ptr<platform::DispatchQueue> expectedQueue_;
};

// Counts the notifications of one name posted for one object (any object when none).
class NotificationCounter {
  public:
    NotificationCounter(std::string_view name, const void* object = nullptr)
        : count_(std::make_shared<std::atomic<int>>(0)) {
        auto count = count_;
        registration_ = platform::ObserverRegistration(
            platform::NotificationCenter::defaultCenter(),
            platform::NotificationCenter::defaultCenter().addObserver(
                std::string(name), object, nullptr, [count](const platform::Notification&) { ++*count; }));
    }
    int count() const { return count_->load(); }

  private:
    std::shared_ptr<std::atomic<int>> count_;
    platform::ObserverRegistration registration_;
};

inline std::string text(const std::optional<platform::Data>& d) {
    return d ? platform::toString(*d) : std::string();
}

}  // namespace brisko::fetcher::testing
