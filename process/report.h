#pragma once

#include <unistd.h>

#include <string>

#include "process/fd.h"

// The helper's one form of message, on standard error: "ZartoHelper: WHAT:
// REASON". It says what was not done and why; what is done is never told.
// Best effort: a report that can't be written changes nothing else.
inline void report(const std::string& what, const std::string& reason) {
    const std::string line = "ZartoHelper: " + what + ": " + reason + "\n";
    static_cast<void>(writeAll(STDERR_FILENO, line.data(), line.size()));
}

// The last resort when memory can't be had, wherever that is: one line,
// made without allocating, and status 1, never std::terminate's abort.
// _exit, as nothing is left to flush and an exit handler might allocate.
// No temporary file can be left by it: while one exists a write allocates
// only in macOS's ACL read and clear, through malloc, whose failure is a
// failed write that removes the file, never a call here. The writers' lock
// goes with the descriptor.
[[noreturn]] inline void exitOutOfMemory() {
    static constexpr char line[] = "ZartoHelper: out of memory\n";
    static_cast<void>(writeAll(STDERR_FILENO, line, sizeof line - 1));
    _exit(1);
}
