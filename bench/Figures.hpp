// The figures every benchmark reports: the median of its rounds and the peak memory of its process.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace brisko::bench {

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
