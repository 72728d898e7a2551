// The component container: registration order, eager timings, caching and removal.
#include <doctest/doctest.h>

#include <atomic>

#include "core/App.hpp"
#include "core/ComponentContainer.hpp"
#include "core/ComponentLifecycleMaintainer.hpp"
#include "tests/core/CoreTestEnvironment.hpp"

using namespace brisko;
using namespace brisko::core;

namespace {

class Greeter : public virtual ComponentInstance {
  public:
    explicit Greeter(std::string word) : word(std::move(word)) {}
    std::string word;
};
class Counter : public virtual ComponentInstance {};
class Other : public virtual ComponentInstance {};

const Protocol& greeterProtocol() {
    static const Protocol p = Protocol::of<Greeter>("TestGreeterInterop");
    return p;
}
const Protocol& counterProtocol() {
    static const Protocol p = Protocol::of<Counter>("TestCounterInterop");
    return p;
}

std::shared_ptr<const LibraryClass> library(std::string name,
                                            std::function<std::vector<Component>()> components) {
    return std::make_shared<const LibraryClass>(
        LibraryClass{std::move(name), std::move(components), nullptr});
}

std::shared_ptr<App> makeApp(std::string name) {
    auto options = Options::initWithEzevarAppID("1:1:ios:abc", std::nullopt);
    return App::initInstanceWithName(name, options);
}

}  // namespace

TEST_CASE("the first registrant of a protocol keeps it; the second is logged and ignored") {
    testing::clearLoggedLines();
    auto first = library("FirstLibrary", [] {
        return std::vector{
            Component::componentWithProtocol(greeterProtocol(), [](ComponentContainer&, bool& cache) {
                cache = true;
                return std::make_shared<Greeter>("first");
            })};
    });
    auto second = library("SecondLibrary", [] {
        return std::vector{Component::componentWithProtocol(
            greeterProtocol(),
            [](ComponentContainer&, bool&) { return std::make_shared<Greeter>("second"); })};
    });
    ComponentContainer container(makeApp("registrants"), {first, second});
    auto greeter = container.instanceForProtocol<Greeter>(greeterProtocol());
    REQUIRE(greeter);
    CHECK(greeter->word == "first");
    CHECK(
        testing::logged("[ZudiridiCore][I-COR000029] Attempted to register protocol TestGreeterInterop, but "
                        "it already has an implementation."));
}

TEST_CASE("eager timings: always, only in the default app, and lazy") {
    std::atomic<int> always{0}, defaultOnly{0}, lazy{0};
    auto lib = library("TimingLibrary", [&] {
        auto counting = [](std::atomic<int>& n) {
            return [&n](ComponentContainer&, bool& cache) -> std::shared_ptr<ComponentInstance> {
                ++n;
                cache = true;
                return std::make_shared<Counter>();
            };
        };
        return std::vector{
            Component::componentWithProtocol(Protocol::of<Counter>("Always"),
                                             InstantiationTiming::alwaysEager, counting(always)),
            Component::componentWithProtocol(Protocol::of<Counter>("DefaultOnly"),
                                             InstantiationTiming::eagerInDefaultApp, counting(defaultOnly)),
            Component::componentWithProtocol(Protocol::of<Counter>("Lazy"), counting(lazy)),
        };
    });
    ComponentContainer defaultContainer(makeApp(std::string(kDefaultAppName)), {lib});
    defaultContainer.instantiateEagerComponents();
    CHECK(always == 1);
    CHECK(defaultOnly == 1);
    CHECK(lazy == 0);

    ComponentContainer named(makeApp("named"), {lib});
    named.instantiateEagerComponents();
    named.instantiateEagerComponents();  // the eager list is used once
    CHECK(always == 2);
    CHECK(defaultOnly == 1);
    named.instanceForProtocol(Protocol::of<Counter>("DefaultOnly"));
    named.instanceForProtocol(Protocol::of<Counter>("Lazy"));
    named.instanceForProtocol(Protocol::of<Counter>("Lazy"));
    CHECK(defaultOnly == 2);
    CHECK(lazy == 1);
}

TEST_CASE(
    "caching follows the creation block's flag, and removal keeps cached instances until they are removed") {
    std::atomic<int> calls{0};
    auto lib = library("CachingLibrary", [&] {
        return std::vector{
            Component::componentWithProtocol(counterProtocol(),
                                             [&](ComponentContainer&, bool&) {
                                                 ++calls;
                                                 return std::make_shared<Counter>();
                                             }),
            Component::componentWithProtocol(greeterProtocol(),
                                             [](ComponentContainer&, bool& cache) {
                                                 cache = true;
                                                 return std::make_shared<Greeter>("cached");
                                             }),
        };
    });
    ComponentContainer container(makeApp("caching"), {lib});
    auto a = container.instanceForProtocol(counterProtocol());
    auto b = container.instanceForProtocol(counterProtocol());
    CHECK(calls == 2);
    CHECK(a != b);

    auto cached = container.instanceForProtocol(greeterProtocol());
    container.removeAllComponents();
    CHECK(container.instanceForProtocol(greeterProtocol()) == cached);
    CHECK_FALSE(container.instanceForProtocol(counterProtocol()));
    container.removeAllCachedInstances();
    CHECK_FALSE(container.instanceForProtocol(greeterProtocol()));
}

TEST_CASE("a creation block may look up other protocols; a non-conforming instance is logged and returned") {
    testing::clearLoggedLines();
    auto lib = library("NestedLibrary", [] {
        return std::vector{
            Component::componentWithProtocol(
                greeterProtocol(),
                [](ComponentContainer& container, bool& cache) {
                    cache = true;
                    auto counter = container.instanceForProtocol(counterProtocol());
                    return std::make_shared<Greeter>(counter ? "with counter" : "alone");
                }),
            Component::componentWithProtocol(counterProtocol(),
                                             [](ComponentContainer&, bool&) {
                                                 return std::make_shared<Other>();  // not a Counter
                                             }),
        };
    });
    ComponentContainer container(makeApp("nested"), {lib});
    auto greeter = container.instanceForProtocol<Greeter>(greeterProtocol());
    REQUIRE(greeter);
    CHECK(greeter->word == "with counter");
    CHECK(testing::logged(
        "[I-COR000030] An instance conforming to TestCounterInterop was requested, but the instance "
        "provided does not conform to the protocol"));
    CHECK_FALSE(container.instanceForProtocol(Protocol::of<Counter>("Unregistered")));
}

TEST_CASE("registering a class that is not a library raises an invalid-argument exception") {
    auto notLibrary = std::make_shared<const LibraryClass>(LibraryClass{"PlainClass", nullptr, nullptr});
    try {
        App::registerInternalLibrary(notLibrary, "plain");
        FAIL("no exception");
    } catch (const platform::ProgrammingException& e) {
        CHECK(e.name() == "NSInvalidArgumentException");
        CHECK(e.reason() ==
              "Class PlainClass attempted to register components, but it does not conform to `ZIRLibrary or "
              "provide a "
              "`componentsToRegister:` method.");
    }
}

TEST_CASE("the XR core app is recognised by its name and sender ID") {
    auto options = Options::initWithEzevarAppID("1:1:ios:abc", "480963775968");
    CHECK(ComponentContainer::isAppForXRCore(*App::initInstanceWithName("XRCoreZIRApp", options)));
    CHECK_FALSE(ComponentContainer::isAppForXRCore(*App::initInstanceWithName("Other", options)));
}
