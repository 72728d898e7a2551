// Notification centres.
#include <doctest/doctest.h>

#include <atomic>

#include "platform/base/NotificationCenter.hpp"

using namespace brisko::platform;
using namespace std::chrono_literals;

TEST_CASE("observers are filtered by name and object") {
    NotificationCenter center;
    auto sender = std::make_shared<int>(1);
    auto other = std::make_shared<int>(2);
    int byName = 0, byObject = 0, any = 0;
    ObserverRegistration a(center, center.addObserver("A", nullptr, nullptr, [&](const Notification&) { ++byName; }));
    ObserverRegistration b(center, center.addObserver("A", sender.get(), nullptr, [&](const Notification&) { ++byObject; }));
    ObserverRegistration c(center, center.addObserver(std::nullopt, nullptr, nullptr, [&](const Notification&) { ++any; }));
    center.post("A", sender);
    center.post("A", other);
    center.post("B");
    CHECK(byName == 2);
    CHECK(byObject == 1);
    CHECK(any == 3);
    b.reset();
    center.post("A", sender);
    CHECK(byObject == 1);
}

TEST_CASE("whether a post would reach an observer is known before posting") {
    NotificationCenter center;
    int sender = 1, other = 2;
    CHECK_FALSE(center.hasObservers("A", &sender));
    ObserverRegistration byObject(center, center.addObserver("A", &sender, nullptr, [](const Notification&) {}));
    ObserverRegistration byName(center, center.addObserver("B", nullptr, nullptr, [](const Notification&) {}));
    struct Case {
        const char* name;
        const void* object;
        bool reached;
    };
    for (const auto& c : {Case{"A", &sender, true}, Case{"A", &other, false}, Case{"A", nullptr, false},
                          Case{"B", &other, true}, Case{"B", nullptr, true}, Case{"C", &sender, false}}) {
        CAPTURE(c.name);
        CHECK(center.hasObservers(c.name, c.object) == c.reached);
    }
    ObserverRegistration any(center, center.addObserver(std::nullopt, nullptr, nullptr, [](const Notification&) {}));
    CHECK(center.hasObservers("C", &other));
    any.reset();
    byObject.reset();
    CHECK_FALSE(center.hasObservers("A", &sender));
    CHECK(center.hasObservers("B", &sender));
}

TEST_CASE("a main-queue observer runs inline when posted on the main thread, later otherwise") {
    NotificationCenter center;
    bool got = false;
    bool running = false;
    ObserverRegistration r(center, center.addObserver("TrackingRunningStateDidChange", nullptr, DispatchQueue::main(),
                                                      [&](const Notification& n) {
                                                          got = true;
                                                          running = *n.userInfo.at("isRunning").boolean();
                                                      }));
    center.post("TrackingRunningStateDidChange", nullptr, {{"isRunning", true}});
    CHECK(got);
    CHECK(running);
    got = false;
    std::thread([&] { center.post("TrackingRunningStateDidChange", nullptr, {{"isRunning", false}}); }).join();
    CHECK_FALSE(got);
    CHECK(MainLoop::runUntil([&] { return got; }, 5s));
    CHECK_FALSE(running);
}

TEST_CASE("a removed observer gets no delivery that was still queued") {
    NotificationCenter center;
    auto q = DispatchQueue::make("com.brisko.test.nc");
    std::atomic<int> count{0};
    q->async([] { std::this_thread::sleep_for(20ms); });
    auto token = center.addObserver("X", nullptr, q, [&](const Notification&) { ++count; });
    center.post("X");
    center.removeObserver(token);
    q->sync([] {});
    CHECK(count == 0);
}
