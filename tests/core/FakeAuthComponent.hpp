// A stand-in identity library for the core tests: it fills the identity client's slot, counting the
// clients it makes and the deletions it hears of.
#pragma once

#include <atomic>
#include <memory>

#include "core/App.hpp"
#include "core/AuthInterop.hpp"
#include "core/ComponentLifecycleMaintainer.hpp"

namespace brisko::core::testing {

struct FakeAuthCounters {
    std::atomic<int> created{0};
    std::atomic<int> deleted{0};
};
FakeAuthCounters& fakeAuthCounters();

class FakeAuth final : public AuthInterop, public ComponentLifecycleMaintainer {
  public:
    explicit FakeAuth(std::shared_ptr<App> app) : app_(std::move(app)) {}
    void getTokenForcingRefresh(bool, TokenCallback callback) override {
        callback(std::nullopt, std::nullopt);
    }
    std::optional<std::string> getUserID() override { return std::nullopt; }
    void appWillBeDeleted(const std::shared_ptr<App>&) override { ++fakeAuthCounters().deleted; }
    std::weak_ptr<App> app_;
};

}  // namespace brisko::core::testing
