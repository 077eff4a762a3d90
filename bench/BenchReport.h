#pragma once

// What every benchmark program shares: the machine's load beside its
// figures, medians of timings, and the RESULT lines bench/run gathers.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

inline double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// One line for bench/run's table; target is ratio<=X, ratio>=X, diff<=X or
// empty when the figure has none.
inline void printResult(const std::string& figure, double value, const std::string& unit,
                        const std::string& baseline, double baselineValue,
                        const std::string& target) {
    std::printf("RESULT\t%s\t%.3f\t%s\t%s\t%.3f\t%s\n", figure.c_str(), value, unit.c_str(),
                baseline.c_str(), baselineValue, target.c_str());
}

}  // namespace bench
