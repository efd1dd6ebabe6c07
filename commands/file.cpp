#include "commands/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/acl.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ZartoHelper/main.h"
#include "process/fd.h"

namespace {

// Pushes what was written to `fd` to the disk itself. On macOS fsync only
// hands the data to the drive, whose cache a power cut empties: the rename
// could then reach the disk before the data and leave an empty file.
// F_FULLFSYNC flushes the drive; file systems that refuse it get fsync.
int syncToDisk(int fd) {
#ifdef F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0) {
        return 0;
    }
#endif
    return fsync(fd);
}

// The rename is a change to the folder, not to the file: until the folder
// is synced a power cut can bring back the old file. Best effort: the new
// file is already in place and readable, and a failure here can't be undone.
void syncFolder(const std::string& folder) {
    const Fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) {
        static_cast<void>(syncToDisk(dir.get()));
    }
}

// Leaves the mode alone to decide who may read the file. On macOS an
// inheritable entry on the folder (file_inherit) is copied onto every new
// file, and entries are checked before the mode bits: 0600 would not make
// a.dat owner-only. An empty extended ACL removes them. It is set only where
// there is something to remove: a volume without ACLs (FAT, exFAT, some
// network mounts) refuses the setting, yet can hold no entry either. A read
// that fails for any other reason leaves it unknown: a failed write. On
// Linux a folder's default ACL is already bounded by the mode: the new
// file's mask entry takes the mode's group bits, and no entry grants more.
int clearInheritedAcl([[maybe_unused]] int fd) {
#ifdef __APPLE__
    const acl_t inherited = acl_get_fd(fd);
    if (inherited == nullptr) {
        // ENOENT is "no ACL", ENOTSUP "no ACLs on this volume".
        return errno == ENOENT || errno == ENOTSUP || errno == EOPNOTSUPP ? 0 : errno;
    }
    acl_entry_t entry = nullptr;
    const bool entries = acl_get_entry(inherited, ACL_FIRST_ENTRY, &entry) == 0;
    acl_free(inherited);
    if (!entries) {
        return 0;
    }
    const acl_t none = acl_init(0);
    if (none == nullptr) {
        return errno;
    }
    const int error = acl_set_fd(fd, none) == 0 ? 0 : errno;
    acl_free(none);
    return error;
#else
    return 0;
#endif
}

// Holds every signal that can be held for its lifetime. One that landed
// while a temporary file exists would leave it behind (root-owned, perhaps
// holding a private key), and one between the rename and the folder sync
// would leave a rename a power cut can undo. Held, a signal takes effect
// once the file is in place and synced, or removed.
class HeldSignals {
public:
    HeldSignals() {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &previous_);
    }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;
    ~HeldSignals() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_{};
};

// Where a path's folder ends: just past its last slash, 0 without one.
std::size_t folderEnd(std::string_view path) { return path.rfind('/') + 1; }

std::string folderOf(std::string_view path) {
    const std::size_t cut = folderEnd(path);
    return cut == 0 ? "." : std::string(path.substr(0, cut));
}

// The lock is a file of root's in the folder, never the folder itself:
// the folder is 0755, so any user could open it and hold a lock on it for
// ever, while only root can open a 0600 file of root's. And flock on a
// regular file is what both systems document (macOS's page says nothing of
// folders). It is never removed: a lock file deleted while another call
// waits on it would give the two calls two different locks. O_NONBLOCK: a
// FIFO planted at the name in a folder others can write must not hang the
// open; O_NOFOLLOW: nor may a link lead it elsewhere.
constexpr const char* lockName = ".ZartoHelper.lock";

// Takes the lock on `folder`, waiting for it as long as another call holds
// it. Returns "" or why it can't be had.
std::string lockFolder(const std::string& folder, Fd& lock) {
    const std::string path = folder + lockName;
    lock = Fd(open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, secretFileMode));
    struct stat st {};
    if (lock.get() < 0 || fstat(lock.get(), &st) != 0) {
        return std::strerror(errno);
    }
    // One that another user made (where the folder lets them) could be held
    // by them for ever.
    if (!S_ISREG(st.st_mode) || st.st_uid != 0) {
        return path + " is not a file of root's";
    }
    while (flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            return std::strerror(errno);
        }
    }
    return {};
}

// A call killed while writing `target` (SIGKILL can't be held) leaves its
// temporary file, ".NAME." and six characters, owner-only but perhaps
// holding a private key. Under the lock no other call is writing, so every
// such file is a leftover. Only root's regular files are removed: anything
// else there is not ours. Best effort: a leftover that stays doesn't stop
// the write.
void removeLeftovers(std::string_view target) {
    const std::string folder = folderOf(target);
    const std::string prefix = "." + std::string(target.substr(folderEnd(target))) + ".";
    DIR* const entries = opendir(folder.c_str());
    if (entries == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(entries)) {
        const std::string_view name(entry->d_name);
        struct stat st {};
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix) &&
            fstatat(dirfd(entries), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == 0) {
            static_cast<void>(unlinkat(dirfd(entries), entry->d_name, 0));
        }
    }
    closedir(entries);
}

}  // namespace

mode_t ordinaryFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

int replaceFile(const char* path, std::string_view text, mode_t mode) {
    // Same folder as the target, so the rename never crosses file systems.
    const std::string_view target(path);
    const std::size_t cut = folderEnd(target);
    const std::string folder = folderOf(target);
    std::string temp(target.substr(0, cut));
    temp += '.';
    temp += target.substr(cut);
    temp += ".XXXXXX";

    const HeldSignals held;
    // mkostemp opens with O_CREAT|O_EXCL: a link planted at the name fails
    // the open instead of being followed.
    Fd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return errno;
    }
    int error = clearInheritedAcl(fd.get());
    if (error == 0 && (fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), text.data(), text.size()) ||
                       syncToDisk(fd.get()) != 0)) {
        error = errno;
    }
    // close can report a deferred write error (NFS and the like).
    if (fd.close() != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && rename(temp.c_str(), path) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temp.c_str());
        return error;
    }
    syncFolder(folder);
    return 0;
}

void writeConfigFiles(std::initializer_list<ConfigFile> files) {
    if (files.size() == 0) {
        return;
    }
    const char* const first = files.begin()->path;
    Fd lock;
    const std::string refused = lockFolder(folderOf(first), lock);
    if (!refused.empty()) {
        exitWithReport(std::string("cannot write ") + first, refused);
    }
    for (const ConfigFile& file : files) {
        removeLeftovers(file.path);
    }
    for (const ConfigFile& file : files) {
        const int error = replaceFile(file.path, file.text, file.mode);
        if (error != 0) {
            exitWithError(std::string("cannot write ") + file.path, error);
        }
    }
}
