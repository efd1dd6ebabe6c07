#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <string_view>

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
int replaceFile(const char* path, std::string_view text, mode_t mode);

// One file of a command word's writes.
struct ConfigFile {
    const char* path;
    std::string_view text;
    mode_t mode;
};

// One command word's writes, all in one folder, made as one: under an
// exclusive lock on that folder's lock file, so that two calls at once
// never mix their files (c.ovpn of one with a.dat of the other). Under it,
// a temporary file that a killed call left beside a target goes first;
// then each file is replaced in order, and the lock is released before
// anything else runs. On failure the helper's report ("ZartoHelper: cannot
// write PATH: REASON") and exit status 1: a tunnel program must not start
// on a configuration that isn't there. Files written before the failure
// stay written.
void writeConfigFiles(std::initializer_list<ConfigFile> files);
