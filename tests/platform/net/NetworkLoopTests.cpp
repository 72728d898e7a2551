// The network thread's timers: one alarm serves them all, re-armed only for an earlier deadline.
#include <doctest/doctest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/CurlMulti.hpp"

using namespace brisko::platform::detail;
using namespace std::chrono_literals;

TEST_CASE("timers fire in deadline order, never early, whatever order they were set, moved or cancelled in") {
    using Clock = NetworkLoop::Clock;
    struct Fired {
        std::string name;
        bool early;
    };
    std::mutex m;
    std::condition_variable cv;
    std::vector<Fired> fired;
    std::map<std::string, Clock::time_point> due;  // network thread only
    auto& loop = NetworkLoop::instance();
    loop.post([&] {
        const auto start = Clock::now();
        auto timer = [&](std::string name, Clock::time_point when) {
            due[name] = when;
            return loop.schedule(when, [&, name] {
                std::lock_guard lock(m);
                fired.push_back({name, Clock::now() < due[name]});
                cv.notify_all();
            });
        };
        // A late one first (the alarm is armed for it), then earlier ones (each re-arms it); the earliest
        // is cancelled (the alarm then wakes for nothing and re-arms for the next); one is moved earlier
        // than everything and one later than everything.
        timer("late", start + 240ms);
        const auto cancelled = timer("cancelled", start + 40ms);
        const auto movedEarlier = timer("moved earlier", start + 200ms);
        const auto movedLater = timer("moved later", start + 60ms);
        timer("middle", start + 120ms);
        loop.cancel(cancelled);
        CHECK(loop.reschedule(movedEarlier, due["moved earlier"] = start + 20ms));
        CHECK(loop.reschedule(movedLater, due["moved later"] = start + 300ms));
        CHECK_FALSE(loop.reschedule(cancelled, start + 10ms));
    });
    std::unique_lock lock(m);
    REQUIRE(cv.wait_for(lock, 10s, [&] { return fired.size() == 4; }));
    std::vector<std::string> order;
    for (const auto& f : fired) {
        order.push_back(f.name);
        CHECK_FALSE(f.early);
    }
    CHECK(order == std::vector<std::string>{"moved earlier", "middle", "late", "moved later"});
    // Nothing else fires (the cancelled one stays cancelled).
    CHECK_FALSE(cv.wait_for(lock, 100ms, [&] { return fired.size() > 4; }));
}
