// The memory a copy of the big block takes when an operator drives it through the real window.
#pragma once

namespace duplivo::bench {

// Runs in a process of its own, so that nothing the timed cases left in the heap hides or adds to
// the copy's memory: builds the window on the database WINEPREFIX names, reads the resident
// memory while it waits, copies the big block through its controls and prints the line
// "copy_memory idle_mib=… peak_mib=… above_idle_mib=…". Returns the exit status.
int runCopyMemory(int argc, char* argv[]);

} // namespace duplivo::bench
