// The network thread's timers, when it hands a batch of events on, what runs when a handler returns, how
// it watches sockets, and how it ends the connections of a finished pool.
#include <doctest/doctest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/CurlMulti.hpp"
#include "tests/support/PortSockets.hpp"

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

TEST_CASE("a batch goes at once when the sockets are quiet, and waits a few looks, no more, while they are busy") {
    auto& loop = NetworkLoop::instance();
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> order;  // network thread only until `done`
    bool done = false;
    auto finish = [&] {
        std::lock_guard lock(m);
        done = true;
        cv.notify_all();
    };

    SUBCASE("no transfer running: the batch goes when its handler returns, before work queued earlier") {
        loop.post([&] {
            loop.post([&] {
                order.push_back("queued work");
                finish();
            });
            loop.atEndOfIteration([&] { order.push_back("batch"); });
            order.push_back("handler");
        });
        std::unique_lock lock(m);
        REQUIRE(cv.wait_for(lock, 10s, [&] { return done; }));
        CHECK(order == std::vector<std::string>{"handler", "batch", "queued work"});
    }

    SUBCASE("a transfer running: the batch waits for the work that is ready, not for work posted after it") {
        loop.post([&] {
            loop.noteTransferStarted();
            loop.post([&] { order.push_back("ready work"); });
            loop.atEndOfIteration([&] { order.push_back("batch"); });
            loop.post([&] {
                order.push_back("later work");
                loop.noteTransferEnded();
                finish();
            });
        });
        std::unique_lock lock(m);
        REQUIRE(cv.wait_for(lock, 10s, [&] { return done; }));
        CHECK(order == std::vector<std::string>{"ready work", "batch", "later work"});
    }

    SUBCASE("busy: the batch waits for more events, but sockets that never rest do not hold it back") {
        // Each step is a socket event that makes the next one ready, for longer than the batch may wait.
        constexpr int kSteps = 20;
        std::function<void(int)> step = [&](int n) {
            loop.noteSocketEvent();
            order.push_back("event");
            if (n < kSteps) {
                loop.post([&, n] { step(n + 1); });
            } else {
                loop.noteTransferEnded();
                finish();
            }
        };
        loop.post([&] {
            // Replies could still come: a transfer runs.
            loop.noteTransferStarted();
            loop.post([&] { step(1); });
            loop.atEndOfIteration([&] { order.push_back("batch"); });
        });
        std::unique_lock lock(m);
        REQUIRE(cv.wait_for(lock, 10s, [&] { return done; }));
        const auto batch = std::find(order.begin(), order.end(), "batch");
        REQUIRE(batch != order.end());
        const auto eventsBefore = batch - order.begin();
        CHECK(eventsBefore >= 2);
        CHECK(eventsBefore <= 6);
        CHECK(order.size() == kSteps + 1);
    }
}

TEST_CASE("an ended connection closes at once, and its descriptor reads as ended until it is closed") {
    // A connected pair over loopback, as a pooled connection of libcurl's would be.
    sockaddr_in address{};
    const int listener = brisko::testing::listenOnLoopback(address);
    REQUIRE(listener >= 0);
    // Twice: every ended connection gets a copy of the same ended socket.
    for (int round = 0; round < 2; ++round) {
        CAPTURE(round);
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        REQUIRE(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        REQUIRE(server >= 0);

        endConnection(client);

        // The peer sees the connection end now, not when libcurl gets round to closing the descriptor.
        pollfd peer{server, POLLIN, 0};
        REQUIRE(::poll(&peer, 1, 5000) == 1);
        char byte = 0;
        CHECK(::recv(server, &byte, 1, 0) == 0);
        // What libcurl's dead-connection checks look at: a peek that reads the end (an error such as "not
        // connected" would let it send a request there first), and a poll that reports it.
        CHECK(::recv(client, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0);
        pollfd own{client, POLLIN | POLLPRI, 0};
        REQUIRE(::poll(&own, 1, 0) == 1);
        CHECK((own.revents & POLLIN) != 0);
        CHECK((own.revents & POLLHUP) != 0);
        CHECK(::send(client, "x", 1, MSG_NOSIGNAL) == -1);
        CHECK(::close(client) == 0);
        ::close(server);
    }
    ::close(listener);
}

TEST_CASE("work left for the end of a handler runs right after it; what that work leaves waits its turn") {
    auto& loop = NetworkLoop::instance();
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> order;  // network thread only until `done`
    bool done = false;
    loop.post([&] {
        loop.post([&] { order.push_back("queued work"); });
        loop.afterHandler([&] {
            order.push_back("after the handler");
            // Left by work that runs after a handler: queued, so a chain of such work cannot keep the loop
            // from its sockets.
            loop.afterHandler([&] {
                order.push_back("left by it");
                std::lock_guard lock(m);
                done = true;
                cv.notify_all();
            });
        });
        order.push_back("handler");
    });
    std::unique_lock lock(m);
    REQUIRE(cv.wait_for(lock, 10s, [&] { return done; }));
    CHECK(order == std::vector<std::string>{"handler", "after the handler", "queued work", "left by it"});
}

namespace {
// CPU time the network thread has used so far: a loop that reports a socket on every look spins, and
// shows it here within a few milliseconds.
std::chrono::nanoseconds networkThreadCPU() {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (!std::getline(comm, name) || name != "brisko-network") continue;
        std::ifstream stat(task.path() / "schedstat");
        long long running = 0;
        stat >> running;
        return std::chrono::nanoseconds(running);
    }
    return std::chrono::nanoseconds(-1);
}

// Runs `work` on the network thread and waits for it.
void onNetwork(const std::function<void()>& work) {
    std::promise<void> done;
    NetworkLoop::instance().post([&] {
        work();
        done.set_value();
    });
    REQUIRE(done.get_future().wait_for(10s) == std::future_status::ready);
}

// A local socket pair whose first end the loop watches for an owner that counts what it hears.
struct WatchedPair {
    WatchedPair() { REQUIRE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0); }
    ~WatchedPair() {
        onNetwork([&] { NetworkLoop::instance().unwatch(fds[0], this); });
        ::close(fds[0]);
        ::close(fds[1]);
    }
    static void heard(void* self, int, int flags) {
        auto* pair = static_cast<WatchedPair*>(self);
        ++pair->calls;
        pair->lastFlags = flags;
        if (pair->onHeard) pair->onHeard();
    }
    bool watch(bool in, bool out) { return NetworkLoop::instance().watch(fds[0], in, out, &heard, this); }
    int fds[2] = {-1, -1};
    std::atomic<int> calls{0};
    std::atomic<int> lastFlags{0};
    std::function<void()> onHeard;  // network thread
};

// Waits until `pair` was heard `count` times.
bool heardTimes(const WatchedPair& pair, int count) {
    for (int i = 0; i < 1000 && pair.calls.load() < count; ++i) std::this_thread::sleep_for(5ms);
    return pair.calls.load() >= count;
}
}  // namespace

TEST_CASE("a watched socket is heard while its owner waits for it, and a socket nobody waits on never spins the loop") {
    auto& loop = NetworkLoop::instance();
    SUBCASE("readable: heard again while unread, not at all once its owner stops waiting, however much comes") {
        WatchedPair pair;
        // Heard on every look while unread: the owner stops waiting on the second.
        pair.onHeard = [&] {
            if (pair.calls == 2) pair.watch(false, false);
        };
        bool watched = false;
        onNetwork([&] { watched = pair.watch(true, false); });
        REQUIRE(watched);
        REQUIRE(::write(pair.fds[1], "x", 1) == 1);
        REQUIRE(heardTimes(pair, 2));
        CHECK((pair.lastFlags & CURL_CSELECT_IN) != 0);
        // Data and then the end of the stream come while nobody waits: the loop takes the socket out
        // rather than reporting it on every look.
        const auto before = networkThreadCPU();
        REQUIRE(::write(pair.fds[1], "more", 4) == 4);
        ::shutdown(pair.fds[1], SHUT_WR);
        std::this_thread::sleep_for(200ms);
        CHECK(pair.calls == 2);
        CHECK(networkThreadCPU() - before < 50ms);
        // Waiting again hears what is there at once.
        onNetwork([&] {
            pair.onHeard = [&] { pair.watch(false, false); };
            watched = pair.watch(true, false);
        });
        REQUIRE(watched);
        REQUIRE(heardTimes(pair, 3));
        CHECK((pair.lastFlags & CURL_CSELECT_IN) != 0);
    }

    SUBCASE("writable: heard while wanted, then not at all") {
        WatchedPair pair;
        pair.onHeard = [&] { pair.watch(false, false); };
        bool watched = false;
        onNetwork([&] { watched = pair.watch(false, true); });
        REQUIRE(watched);
        REQUIRE(heardTimes(pair, 1));
        CHECK((pair.lastFlags & CURL_CSELECT_OUT) != 0);
        const auto before = networkThreadCPU();
        std::this_thread::sleep_for(200ms);
        CHECK(pair.calls == 1);
        CHECK(networkThreadCPU() - before < 50ms);
    }

    SUBCASE("a socket let go by a handler of the same look is not heard") {
        // Both turn readable before the loop looks: whichever is heard first lets both go.
        WatchedPair first, second;
        auto letGo = [&] {
            loop.unwatch(first.fds[0], &first);
            loop.unwatch(second.fds[0], &second);
        };
        first.onHeard = letGo;
        second.onHeard = letGo;
        onNetwork([&] {
            first.watch(true, false);
            second.watch(true, false);
            (void)::write(first.fds[1], "x", 1);
            (void)::write(second.fds[1], "x", 1);
        });
        std::this_thread::sleep_for(100ms);
        CHECK(first.calls + second.calls == 1);
    }

    SUBCASE("a descriptor that another owner takes over is heard by it alone") {
        WatchedPair pair;
        WatchedPair other;  // stands for the owner that takes the descriptor over
        other.onHeard = [&] { loop.watch(pair.fds[0], false, false, &WatchedPair::heard, &other); };
        onNetwork([&] {
            pair.watch(true, false);
            (void)::write(pair.fds[1], "x", 1);
            // Readable now, and handed over before the loop looks.
            loop.watch(pair.fds[0], true, false, &WatchedPair::heard, &other);
        });
        REQUIRE(heardTimes(other, 1));
        std::this_thread::sleep_for(50ms);
        CHECK(pair.calls == 0);
        CHECK(other.calls == 1);
        // Letting go under the old owner's name leaves the new owner's watch alone.
        onNetwork([&] {
            loop.watch(pair.fds[0], true, false, &WatchedPair::heard, &other);
            loop.unwatch(pair.fds[0], &pair);
        });
        REQUIRE(heardTimes(other, 2));
        onNetwork([&] { loop.unwatch(pair.fds[0], &other); });
    }
}

namespace {
// Wake-ups written to the network loop so far. The loop never reads its eventfd, so the eventfd's counter
// is the number written: the eventfd is the one its epoll watches under the wake tag (all bits set).
std::uint64_t wakeUpsWritten() {
    std::vector<int> epolls;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fdinfo")) {
        std::ifstream info(entry.path());
        std::string line;
        while (std::getline(info, line)) {
            // "tfd:       12 events:    80000019 data: ffffffffffffffff  pos:0 ino:... sdev:..."
            if (line.rfind("tfd:", 0) != 0 || line.find("data: ffffffffffffffff") == std::string::npos) continue;
            const int fd = std::stoi(line.substr(4));
            std::ifstream wake("/proc/self/fdinfo/" + std::to_string(fd));
            std::string field;
            while (std::getline(wake, field)) {
                if (field.rfind("eventfd-count:", 0) == 0) return std::stoull(field.substr(14), nullptr, 16);
            }
        }
    }
    FAIL("no network loop wake-up found");
    return 0;
}
}  // namespace

TEST_CASE("posts from other threads wake the loop only while it waits, and none is ever left unrun") {
    auto& loop = NetworkLoop::instance();
    SUBCASE("posts while the loop is at work write no wake-up") {
        std::promise<void> busy, release;
        auto released = release.get_future().share();
        loop.post([&] {
            busy.set_value();
            released.wait();
        });
        busy.get_future().wait();
        const auto before = wakeUpsWritten();
        std::atomic<int> ran{0};
        for (int i = 0; i < 100; ++i) loop.post([&] { ++ran; });
        CHECK(wakeUpsWritten() == before);
        release.set_value();
        for (int i = 0; i < 1000 && ran.load() < 100; ++i) std::this_thread::sleep_for(5ms);
        CHECK(ran.load() == 100);
    }
    SUBCASE("many threads posting while the loop goes between waiting and working: every post runs") {
        constexpr int kThreads = 4, kPosts = 3000;
        std::atomic<int> ran{0};
        std::vector<std::thread> posters;
        for (int t = 0; t < kThreads; ++t) {
            posters.emplace_back([&, t] {
                for (int i = 0; i < kPosts; ++i) {
                    // Some work keeps the loop busy a moment, and pauses let it go back to waiting.
                    loop.post([&, i] {
                        if (i % 97 == 0) std::this_thread::sleep_for(50us);
                        ++ran;
                    });
                    if ((i + t) % 13 == 0) std::this_thread::sleep_for(20us);
                }
            });
        }
        for (auto& poster : posters) poster.join();
        // A lost wake-up leaves posts unrun until something else wakes the loop: nothing else will.
        for (int i = 0; i < 2000 && ran.load() < kThreads * kPosts; ++i) std::this_thread::sleep_for(5ms);
        CHECK(ran.load() == kThreads * kPosts);
    }
}
