// Benchmark of the promise library against the same work written as plain posted callbacks: 1,000,000
// chained `then` on a serial queue (100 chains of 10,000 steps), and 100,000 `all` of 10 promises whose
// work runs on the global concurrent queue, each value reaching its gathering as a callback of its own.
// Both sides use the same queues and keep at most the same number of `all` rounds in flight; each side
// runs in a fresh child process so that its peak memory is its own. Goal: at most 2x the baseline's
// time and peak memory.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <vector>

#include "bench/Figures.hpp"
#include "attestation/promises/Promises.hpp"
#include "platform/base/Dispatch.hpp"

using namespace brisko;
using promises::Promise;
using promises::Queue;
using SteadyClock = std::chrono::steady_clock;

namespace {

using brisko::bench::peakKilobytes;

constexpr int kChains = 100;
constexpr int kChainLength = 10'000;
constexpr int kAlls = 100'000;
constexpr int kAllWidth = 10;
// Rounds of `all` started and not yet finished, at most: the poster waits for a round to finish
// before starting one more, so that peak memory measures the rounds' cost rather than how far the
// posting thread happened to run ahead of the pool.
constexpr int kAllsInFlight = 1'000;
constexpr int kRounds = 5;

// Waits (on this thread) until `done` is set by the last step.
struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    void set() {
        std::lock_guard lock(mutex);
        done = true;
        cv.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return done; });
    }
};

int step(int v) {
    return (v * 31 + 7) & 0xFFFF;
}

// ---- chained then on a serial queue ----

long chainsWithPromises(const Queue& queue) {
    long total = 0;
    for (int c = 0; c < kChains; ++c) {
        auto root = Promise<int>::pending();
        Promise<int> p = root;
        for (int i = 0; i < kChainLength; ++i) p = p.then(queue, [](const int& v) { return step(v); });
        Done done;
        int result = 0;
        p.observe(
            queue,
            [&](const int& v) {
                result = v;
                done.set();
            },
            [&](const promises::Error&) { done.set(); });
        root.fulfill(c);
        done.wait();
        total += result;
    }
    return total;
}

// The same chains as callbacks built up front, each posting the next.
long chainsWithCallbacks(const Queue& queue) {
    long total = 0;
    for (int c = 0; c < kChains; ++c) {
        struct Chain {
            std::vector<std::function<int(int)>> steps;
            Queue queue;
            Done done;
            int result = 0;
            void run(std::size_t i, int v) {
                if (i == steps.size()) {
                    result = v;
                    done.set();
                    return;
                }
                queue.async([this, i, v] { run(i + 1, steps[i](v)); });
            }
        };
        auto chain = std::make_unique<Chain>();
        chain->queue = queue;
        chain->steps.reserve(kChainLength);
        for (int i = 0; i < kChainLength; ++i) chain->steps.emplace_back([](int v) { return step(v); });
        chain->run(0, c);
        chain->done.wait();
        total += chain->result;
    }
    return total;
}

// ---- all of 10 on the pool ----

long allsWithPromises(const Queue& pool) {
    std::atomic<long> total{0};
    std::atomic<int> remaining{kAlls};
    std::counting_semaphore<kAllsInFlight> inFlight(kAllsInFlight);
    Done done;
    for (int a = 0; a < kAlls; ++a) {
        inFlight.acquire();
        std::vector<promises::Resolution<int>> parts;
        parts.reserve(kAllWidth);
        for (int i = 0; i < kAllWidth; ++i) parts.emplace_back(Promise<int>::do_(pool, [a, i] { return step(a + i); }));
        Promise<int>::all(pool, std::move(parts))
            .observe(
                pool,
                [&](const std::vector<int>& values) {
                    long sum = 0;
                    for (int v : values) sum += v;
                    total += sum;
                    inFlight.release();
                    if (--remaining == 0) done.set();
                },
                [&](const promises::Error&) {
                    inFlight.release();
                    if (--remaining == 0) done.set();
                });
    }
    done.wait();
    return total.load();
}

long allsWithCallbacks(const Queue& pool) {
    std::atomic<long> total{0};
    std::atomic<int> remaining{kAlls};
    Done done;
    struct Gather {
        std::mutex mutex;
        std::vector<int> values = std::vector<int>(kAllWidth);
        int left = kAllWidth;
    };
    std::counting_semaphore<kAllsInFlight> inFlight(kAllsInFlight);
    for (int a = 0; a < kAlls; ++a) {
        inFlight.acquire();
        auto gather = std::make_shared<Gather>();
        // As with the promises, each value reaches the gathering as a callback of its own on the pool,
        // and the gathered values reach the final callback as one more.
        for (int i = 0; i < kAllWidth; ++i) {
            pool.async([&, gather, a, i] {
                int v = step(a + i);
                pool.async([&, gather, i, v] {
                    {
                        std::lock_guard lock(gather->mutex);
                        gather->values[i] = v;
                        if (--gather->left != 0) return;
                    }
                    pool.async([&, gather] {
                        long sum = 0;
                        for (int x : gather->values) sum += x;
                        total += sum;
                        inFlight.release();
                        if (--remaining == 0) done.set();
                    });
                });
            });
        }
    }
    done.wait();
    return total.load();
}

struct Figures {
    double seconds = 0;  // the median round
    double fastest = 0;
    double slowest = 0;
    long peakKB = 0;
    long startKB = 0;  // the peak before the first round: the process's own, the same for both sides
    long check = 0;
};

// Runs one side in a child process: the median of the rounds and the child's peak memory.
Figures measure(long (*side)(const Queue&), bool serial) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Queue queue = serial ? Queue(platform::DispatchQueue::make("bench.promises.serial")) : Queue::global();
        const long startKB = peakKilobytes();
        std::vector<double> times;
        long check = 0;
        for (int r = 0; r < kRounds; ++r) {
            auto start = SteadyClock::now();
            check = side(queue);
            times.push_back(std::chrono::duration<double>(SteadyClock::now() - start).count());
        }
        std::sort(times.begin(), times.end());
        Figures f{times[times.size() / 2], times.front(), times.back(), peakKilobytes(), startKB, check};
        if (write(fds[1], &f, sizeof f) != static_cast<ssize_t>(sizeof f)) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    Figures f;
    if (read(fds[0], &f, sizeof f) != static_cast<ssize_t>(sizeof f)) std::fprintf(stderr, "child failed\n");
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return f;
}

void report(const char* name, Figures promise, Figures baseline) {
    const double time = baseline.seconds > 0 ? promise.seconds / baseline.seconds : 0;
    const double memory = baseline.peakKB > 0 ? static_cast<double>(promise.peakKB) / baseline.peakKB : 0;
    std::printf("%-34s promises %8.3f s %8ld KB | callbacks %8.3f s %8ld KB | time %.2fx, memory %.2fx %s%s\n", name,
                promise.seconds, promise.peakKB, baseline.seconds, baseline.peakKB, time, memory,
                time <= 2.0 && memory <= 2.0 ? "(within 2x)" : "(OVER 2x)",
                promise.check == baseline.check ? "" : " RESULTS DIFFER");
    std::printf("%-34s rounds: promises %.3f-%.3f s, callbacks %.3f-%.3f s\n", "", promise.fastest, promise.slowest,
                baseline.fastest, baseline.slowest);
    std::printf("%-34s peak above the start: promises %ld KB, callbacks %ld KB\n", "", promise.peakKB - promise.startKB,
                baseline.peakKB - baseline.startKB);
}

}  // namespace

int main() {
    std::printf("median of %d rounds (and the fastest-slowest round); peak memory is each child's VmHWM\n", kRounds);
    report("1,000,000 chained then (serial)", measure(chainsWithPromises, true), measure(chainsWithCallbacks, true));
    report("100,000 all of 10 (global pool)", measure(allsWithPromises, false), measure(allsWithCallbacks, false));
    return 0;
}
