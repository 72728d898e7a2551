// The reachability checker over the stand-in and the Linux backend, and the queue-guarded dictionary.
#include <doctest/doctest.h>

#include <thread>

#include "core/MutableDictionary.hpp"
#include "core/ReachabilityChecker.hpp"
#include "tests/core/CoreTestEnvironment.hpp"

using namespace brisko;
using namespace brisko::core;

namespace {

struct RecordingDelegate : ReachabilityDelegate {
    std::vector<ReachabilityStatus> statuses;
    std::vector<bool> onMainThread;
    void reachabilityStatusChanged(ReachabilityChecker&, ReachabilityStatus status) override {
        statuses.push_back(status);
        onMainThread.push_back(platform::isMainThread());
    }
};

}  // namespace

TEST_CASE("status changes reach the delegate on the main queue, once per change") {
    auto fake = platform::FakeReachability::make(platform::kReachabilityFlagReachable);
    auto delegate = std::make_shared<RecordingDelegate>();
    auto checker = ReachabilityChecker::initWithReachabilityDelegate(delegate, "example.test");
    REQUIRE(checker);
    checker->setReachabilityApi(fake->api());
    REQUIRE(checker->start());
    CHECK(checker->isActive());
    REQUIRE(testing::waitOnMain([&] { return delegate->statuses.size() == 1; }));
    CHECK(delegate->statuses[0] == kReachabilityViaWifi);

    // Changes made on another thread are delivered on the main queue.
    std::thread([&] { fake->setFlags(0); }).join();
    REQUIRE(testing::waitOnMain([&] { return delegate->statuses.size() == 2; }));
    CHECK(delegate->statuses[1] == kReachabilityNotReachable);
    // Flags that map to the same status tell nobody.
    fake->setFlags(platform::kReachabilityFlagConnectionRequired);
    fake->setFlags(platform::kReachabilityFlagReachable | platform::kReachabilityFlagIsDirect);
    REQUIRE(testing::waitOnMain([&] { return delegate->statuses.size() == 3; }));
    platform::MainLoop::drain();
    CHECK(delegate->statuses.size() == 3);
    CHECK(
        std::all_of(delegate->onMainThread.begin(), delegate->onMainThread.end(), [](bool b) { return b; }));
    CHECK(checker->reachabilityStatus() == kReachabilityViaWifi);

    SUBCASE("start twice keeps one handle; stop resets the status without telling the delegate") {
        CHECK(checker->start());
        CHECK(fake->liveHandles() == 1);
        checker->stop();
        CHECK_FALSE(checker->isActive());
        CHECK(checker->reachabilityStatus() == kReachabilityUnknown);
        CHECK(fake->liveHandles() == 0);
        fake->setFlags(0);
        platform::MainLoop::drain();
        CHECK(delegate->statuses.size() == 3);
        checker->stop();  // stopping a stopped checker does nothing
    }
    SUBCASE("the operation table cannot change while running") {
        testing::clearLoggedLines();
        checker->setReachabilityApi(platform::systemReachabilityApi());
        CHECK(testing::logged(
            "[EULReachability][I-REA902000] Cannot change reachability API while reachability is running."));
        checker->stop();
    }
}

TEST_CASE("a checker needs a host, and a failing platform leaves it stopped") {
    testing::clearLoggedLines();
    CHECK_FALSE(ReachabilityChecker::initWithReachabilityDelegate(nullptr, std::string()));
    CHECK_FALSE(ReachabilityChecker::initWithReachabilityDelegate(nullptr, std::nullopt));
    CHECK(testing::logged("[I-REA902001] Invalid host specified"));

    auto fake = platform::FakeReachability::make();
    auto checker = ReachabilityChecker::initWithReachabilityDelegate(nullptr, "example.test");
    checker->setReachabilityApi(fake->api());
    fake->failOperation("schedule");
    CHECK_FALSE(checker->start());
    CHECK_FALSE(checker->isActive());
    CHECK(fake->liveHandles() == 0);
    CHECK(testing::logged("[I-REA902002] Failed to start reachability handle"));
}

TEST_CASE("flags map to statuses as the platform's reachability does") {
    using namespace platform;
    CHECK(ReachabilityChecker::statusForFlags(0) == kReachabilityNotReachable);
    CHECK(ReachabilityChecker::statusForFlags(kReachabilityFlagReachable) == kReachabilityViaWifi);
    CHECK(ReachabilityChecker::statusForFlags(kReachabilityFlagReachable |
                                              kReachabilityFlagConnectionRequired |
                                              kReachabilityFlagConnectionOnDemand) == kReachabilityViaWifi);
    CHECK(ReachabilityChecker::statusForFlags(
              kReachabilityFlagReachable | kReachabilityFlagConnectionRequired |
              kReachabilityFlagConnectionOnDemand | kReachabilityFlagInterventionRequired) ==
          kReachabilityNotReachable);
    CHECK(ReachabilityChecker::statusForFlags(
              kReachabilityFlagReachable | kReachabilityFlagConnectionRequired) == kReachabilityNotReachable);
    CHECK(ReachabilityStatusString(2) == "Reachable via Wifi");
    CHECK(ReachabilityStatusString(7) == "Invalid reachability status 7");
}

TEST_CASE(
    "the Linux backend finds the loopback through the kernel's routes and reports it on the main queue") {
    CHECK((platform::currentReachabilityFlags("127.0.0.1") & platform::kReachabilityFlagReachable) != 0);
    CHECK((platform::currentReachabilityFlags("localhost") & platform::kReachabilityFlagIsLocalAddress) != 0);

    auto delegate = std::make_shared<RecordingDelegate>();
    auto checker = ReachabilityChecker::initWithReachabilityDelegate(delegate, "127.0.0.1");
    REQUIRE(checker->start());
    REQUIRE(testing::waitOnMain([&] { return !delegate->statuses.empty(); }));
    CHECK(delegate->statuses[0] == kReachabilityViaWifi);
    CHECK(delegate->onMainThread[0]);
    checker->stop();
}

TEST_CASE(
    "the guarded dictionary: a write then a read on one thread sees the write; many writers lose nothing") {
    MutableDictionary<std::string, int> dictionary;
    dictionary.setObject(1, "one");
    CHECK(dictionary.objectForKey("one") == 1);
    CHECK(dictionary["missing"] == std::nullopt);

    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i)
                dictionary.setObject(i, std::to_string(t) + "/" + std::to_string(i));
        });
    }
    for (auto& w : writers) w.join();
    CHECK(dictionary.count() == 401);
    dictionary.removeObjectForKey("one");
    CHECK(dictionary.dictionary().size() == 400);
    dictionary.removeAllObjects();
    CHECK(dictionary.count() == 0);
}
