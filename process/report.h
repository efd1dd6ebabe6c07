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
