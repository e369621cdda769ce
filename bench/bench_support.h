#pragma once

// What the benchmarks share: wall-clock seconds, medians, and the process's resident memory (current and
// peak, with the peak reset so that it measures what follows).

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace Tarnivale::AI::Bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

/// A line of /proc/self/status in kB ("VmHWM", "VmRSS").
inline long statusKilobytes(const char* key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0) {
            return std::stol(line.substr(std::strlen(key) + 1));
        }
    }
    return 0;
}

/// Resets the peak resident size to the current one, so VmHWM then measures what follows.
inline void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace Tarnivale::AI::Bench
