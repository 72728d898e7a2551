// The figures every benchmark reports: the median of its rounds, the spread of a ratio across rounds, the
// peak memory of its process, and the threads whose CPU time a side counts.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

}  // namespace brisko::bench
