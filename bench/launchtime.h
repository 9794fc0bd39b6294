// Start-up time of the program against a minimal Qt Widgets window showing one line of text, and
// against the same window empty, all launched on a private X server and timed until the server
// maps their window.
#pragma once

#include <QString>

namespace duplivo::bench {

struct StartupTimes
{
    // The program: until its window is mapped and its company list read.
    double oursMs;
    // The minimal window: until its window is mapped.
    double minimalMs;
    // The minimal window showing one line of text: until its window is mapped.
    double minimalTextMs;
    // The program until its window is mapped, whether or not the list is read by then.
    double oursMappedMs;
};

// Launches the program (on a demo database) and the minimal windows from `binFolder` in turn,
// `launches` times each after one launch each that is not counted, and returns the medians.
StartupTimes measureStartup(const QString& binFolder, int launches);

} // namespace duplivo::bench
