// The figures every benchmark reports: the median of its rounds, the spread of a ratio across rounds, the
// peak memory of its process, and the threads whose CPU time a side counts; and a way to time with the
// CPUs kept out of their idle states, and how long they poll before they halt.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace brisko::bench {

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The lowest and highest per-round ratio measured / reference: both sides of a round run back to back, so a
// round's ratio sees one machine load, and the spread shows how far a single figure can be trusted.
inline std::pair<double, double> ratioRange(const std::vector<double>& reference, const std::vector<double>& measured) {
    double low = measured[0] / reference[0], high = low;
    for (std::size_t i = 1; i < reference.size(); ++i) {
        low = std::min(low, measured[i] / reference[i]);
        high = std::max(high, measured[i] / reference[i]);
    }
    return {low, high};
}

// The spread of single timings (microseconds): what the per-sample goals are judged by.
struct Latencies {
    double mean = 0, median = 0, p99 = 0, max = 0;
};
inline Latencies latencies(std::vector<double> micros) {
    std::sort(micros.begin(), micros.end());
    Latencies out;
    for (double m : micros) out.mean += m;
    out.mean /= static_cast<double>(micros.size());
    auto at = [&](double q) { return micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))]; };
    out.median = at(0.5);
    out.p99 = at(0.99);
    out.max = micros.back();
    return out;
}

// The ids of this process's threads (the names of /proc/self/task's entries).
inline std::set<std::string> threadIds() {
    std::set<std::string> ids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        ids.insert(entry.path().filename().string());
    }
    return ids;
}

// The peak resident size of this process image (VmHWM), in KiB: unlike getrusage's maximum, it does not
// carry over what the parent held when it forked.
inline long peakKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

// Keeps every CPU out of its idle states while it lives: a request for no wake-up latency on
// /dev/cpu_dma_latency (the PM QoS device latency benchmarks hold), in force until the descriptor is closed.
// A virtual CPU that goes idle halts, and a thread woken on it waits for the host to run that CPU again;
// work that hops between threads goes idle at every hop and pays for such wake-ups at a price the host
// sets. Held awake, the CPUs poll instead, and timings show the cost of the code measured. Needs write
// access to the device (root); held() says whether the request is in force.
class CPUsHeldAwake {
public:
    CPUsHeldAwake() : fd_(::open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC)) {
        const std::int32_t noLatency = 0;
        if (fd_ >= 0 && ::write(fd_, &noLatency, sizeof noLatency) != static_cast<ssize_t>(sizeof noLatency)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~CPUsHeldAwake() {
        if (fd_ >= 0) ::close(fd_);
    }
    CPUsHeldAwake(const CPUsHeldAwake&) = delete;
    CPUsHeldAwake& operator=(const CPUsHeldAwake&) = delete;

    // Whether the request is in force (false without write access to the device).
    bool held() const { return fd_ >= 0; }

private:
    int fd_;
};

// How long an idle virtual CPU polls before it halts, in nanoseconds, when the guest's idle driver is
// haltpoll (a KVM guest's): the kernel polls up to 200000 ns by default, and a setting of 0 halts at once,
// so that every wake-up waits for the host. Nothing when another idle driver runs.
inline std::optional<long> guestHaltPollNanoseconds() {
    std::ifstream driver("/sys/devices/system/cpu/cpuidle/current_driver");
    std::string name;
    if (!(driver >> name) || name != "haltpoll") return std::nullopt;
    std::ifstream parameter("/sys/module/haltpoll/parameters/guest_halt_poll_ns");
    long ns = 0;
    if (!(parameter >> ns)) return std::nullopt;
    return ns;
}

}  // namespace brisko::bench
