// Timing helpers shared by the parts of the benchmark.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

#include <QString>

namespace duplivo::bench {

using Clock = std::chrono::steady_clock;

inline double millisecondsBetween(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

inline double millisecondsSince(Clock::time_point start)
{
    return millisecondsBetween(start, Clock::now());
}

// The median, not the mean: one run slowed by the other work on the machine must not move it.
inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// A benchmark whose work went wrong has nothing to report. Thrown, not exited, so that the X
// server and the programs it launched go with the objects that own them.
struct BenchFailure
{
    QString what;
};

[[noreturn]] inline void fail(const QString& what)
{
    throw BenchFailure {what};
}

} // namespace duplivo::bench
