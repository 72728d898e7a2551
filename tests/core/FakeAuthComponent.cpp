// Registers the stand-in identity library under the identity component's class name, as the identity
// library itself does, before any app is configured.
#include "tests/core/FakeAuthComponent.hpp"

namespace brisko::core::testing {

FakeAuthCounters& fakeAuthCounters() {
    static FakeAuthCounters counters;
    return counters;
}

namespace {

const LibraryClassRegistry::Registration kRegistration(LibraryClass{
    std::string(kAuthComponentClassName),
    [] {
        return std::vector<Component>{Component::componentWithProtocol(
            AuthInterop::protocol(), InstantiationTiming::alwaysEager,
            [](ComponentContainer& container, bool& isCacheable) -> std::shared_ptr<ComponentInstance> {
                auto app = container.app();
                if (!app) return nullptr;
                isCacheable = true;
                ++fakeAuthCounters().created;
                return std::make_shared<FakeAuth>(app);
            })};
    },
    nullptr});

}  // namespace
}  // namespace brisko::core::testing
