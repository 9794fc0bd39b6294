// Timing helpers shared by the parts of the benchmark.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

#include <QFile>
#include <QRegularExpression>
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

// A field of /proc/self/status, in MiB: VmRSS (resident now) or VmHWM (the peak since the last
// reset).
inline double statusMiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        fail(QStringLiteral("no se puede leer /proc/self/status"));
    const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+) kB$").arg(QLatin1String(field)),
        QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(QString::fromLatin1(status.readAll()));
    if (!match.hasMatch())
        fail(QStringLiteral("/proc/self/status no tiene %1").arg(QLatin1String(field)));
    return match.captured(1).toDouble() / 1024.0;
}

// The kernel sets the peak back to the memory resident now.
inline void resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
        fail(QStringLiteral("no se puede poner a cero VmHWM en /proc/self/clear_refs"));
}

} // namespace duplivo::bench
