#pragma once

#include <sys/types.h>

#include <string>

// Mode of the files that hold credentials or private keys.
inline constexpr mode_t secretFileMode = 0600;

// Mode an ordinary new file gets: 0666 less the umask.
mode_t ordinaryFileMode();

// Replaces `path` with `text` atomically: a temporary file with an
// unpredictable name is created exclusively beside it (never through a
// link), stripped of any ACL it inherited, given `mode`, filled completely,
// synced and renamed over `path`. A reader sees the old content or the new,
// never a mix; a link planted at `path` is replaced, not followed. Returns
// 0, or the errno of the failure, in which case the temporary file is gone
// and `path` is untouched.
int replaceFile(const char* path, const std::string& text, mode_t mode);

// replaceFile, and on failure the one report the helper ever prints
// ("ZartoHelper: cannot write PATH: REASON") and exit status 1: a tunnel
// program must not start on a configuration that isn't there.
void writeConfigFile(const char* path, const std::string& text, mode_t mode);
