// The lock-guarded value.
#include <doctest/doctest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "core/UnfairLock.hpp"

using brisko::core::UnfairLock;

TEST_CASE("two threads incrementing through withLock end at exactly the sum") {
    UnfairLock<int> counter(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100000; ++i) counter.withLock([](int& v) { ++v; });
        });
    }
    for (auto& t : threads) t.join();
    CHECK(counter.value() == 200000);
}

TEST_CASE("a body that throws releases the lock and keeps the changes it made") {
    UnfairLock<std::vector<int>> guarded({1});
    CHECK_THROWS_AS(guarded.withLock([](std::vector<int>& v) {
        v.push_back(2);
        throw std::runtime_error("stop");
    }),
                    std::runtime_error);
    CHECK(guarded.value() == std::vector<int>{1, 2});
}

TEST_CASE("value() is a copy and withLock returns the body's result") {
    UnfairLock<std::string> guarded("a");
    auto copy = guarded.value();
    copy += "b";
    CHECK(guarded.value() == "a");
    CHECK(guarded.withLock([](std::string& s) { return s.size(); }) == 1);
}
