#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>

// Mode of the files that hold credentials or private keys.
inline constexpr mode_t secretFileMode = 0600;

// Mode an ordinary new file gets: 0666 less the umask.
mode_t ordinaryFileMode();

// One file of a command word's writes.
struct ConfigFile {
    const char* path;
    std::string_view text;
    mode_t mode;
};

// One command word's writes, all in one folder, made as one. First the
// folder is checked: root writes only where no one else can add, move or
// swap a file (see folderDistrust); one at fault is a failed write, with
// nothing created. Then the writers' lock is taken, its folder checked the
// same way first (/private/var/db/ZartoHelper.lock on macOS, root's run
// folder on Linux), waiting as long as another call holds it, so that two
// calls at once never mix their files (c.ovpn of one with a.dat of the
// other). Then, with every signal held until the last file is in place: a
// temporary file that a killed call left beside a target goes; each file
// is replaced atomically in order (a temporary file made exclusively
// beside it, never through a link, with no ACL entry of the folder's,
// given its mode, filled, synced, renamed over it, its folder synced; a
// failed one leaves no temporary file unless its removal fails too). What
// keeps others from reading a file is its mode and, on macOS, that create.
// The lock is released before anything else runs. On failure the helper's
// report ("ZartoHelper: cannot write PATH: REASON", or "cannot lock" and
// the lock's path when the lock or its folder is not root's alone, an ACL
// entry that allows anything included) and exit status 1: a tunnel program
// must not start on a configuration that isn't there. Files written before
// the failure stay written.
void writeConfigFiles(std::initializer_list<ConfigFile> files);

// Whether F_FULLFSYNC's failure with `error` says only that the file system
// doesn't do it, so that fsync is the most there is: ENOTTY, ENOTSUP,
// EOPNOTSUPP and EINVAL, each a way a file system says it has no such
// request. Any other error (EIO above all) is a failed write: the fsync
// after it may well succeed, with the data lost.
inline bool fullSyncUnsupported(int error) {
    // ENOTSUP and EOPNOTSUPP are one value on Linux, two on macOS.
    constexpr int unsupported[] = {ENOTTY, ENOTSUP, EOPNOTSUPP, EINVAL};
    return std::ranges::find(unsupported, error) != std::end(unsupported);
}

// Returns once no call is writing: takes the writers' lock and lets it go.
// A lock that can't be had, its folder's fault included, doesn't hold the
// caller up.
void waitForWriters();
