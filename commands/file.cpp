#include "commands/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/acl.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ZartoHelper/main.h"
#include "process/fd.h"
#include "process/trust.h"

namespace {

// Pushes what was written to `fd` to the disk itself. On macOS fsync only
// hands the data to the drive, whose cache a power cut empties: the rename
// could then reach the disk before the data and leave an empty file.
// F_FULLFSYNC flushes the drive; file systems that don't do it get fsync.
int syncToDisk(int fd) {
#ifdef F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0) {
        return 0;
    }
    if (!fullSyncUnsupported(errno)) {
        return -1;
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
// a.dat owner-only. createOwnerOnly already asks the create for none; this
// is the check after it, for a file system that gave some all the same.
// An empty extended ACL removes them. It is set only where
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

// Where a path's folder ends: just past its last slash, 0 without one.
std::size_t folderEnd(std::string_view path) { return path.rfind('/') + 1; }

std::string folderOf(std::string_view path) {
    const std::size_t cut = folderEnd(path);
    return cut == 0 ? "." : std::string(path.substr(0, cut));
}

// Every file root creates: the temporary files and the writers' lock.
// Opens `path` with `flags` (O_CREAT among them), creating it owner-only
// (0600 less the umask) where it is missing. Returns its descriptor, or -1
// with errno set.
int createOwnerOnly(const std::string& path, int flags) {
#ifdef __APPLE__
    // A folder's inheritable ACL entries (file_inherit) are copied onto a
    // new file, and entries are checked before the mode bits: made the
    // usual way, the file would be open to whoever an entry names from its
    // creation until clearInheritedAcl, long enough to open it and read
    // the secret later. An empty ACL flagged "no inherit", given to the
    // create itself, has xnu inherit nothing (kauth_acl_inherit). But a
    // volume without ACLs refuses a create that carries one (EINVAL from
    // vnode_authattr_new), and inherits nothing anyway: there the plain
    // create. pathconf answers 1 exactly where the volume keeps them
    // (vn_pathconf); a volume that can't be asked gets no file.
    errno = 0;
    const long keepsAcls = pathconf(folderOf(path).c_str(), _PC_EXTENDED_SECURITY_NP);
    if (keepsAcls < 0) {
        errno = errno == 0 ? EINVAL : errno;
        return -1;
    }
    if (keepsAcls == 0) {
        return open(path.c_str(), flags, secretFileMode);
    }
    struct Security {
        filesec_t filesec = filesec_init();
        acl_t none = acl_init(0);
        Security() = default;
        Security(const Security&) = delete;
        Security& operator=(const Security&) = delete;
        ~Security() {
            if (none != nullptr) {
                acl_free(none);
            }
            if (filesec != nullptr) {
                filesec_free(filesec);
            }
        }
    } security;
    const mode_t mode = secretFileMode;
    acl_flagset_t aclFlags = nullptr;
    if (security.filesec == nullptr || security.none == nullptr ||
        acl_get_flagset_np(security.none, &aclFlags) != 0 ||
        acl_add_flag_np(aclFlags, ACL_FLAG_NO_INHERIT) != 0 ||
        acl_set_flagset_np(security.none, aclFlags) != 0 ||
        filesec_set_property(security.filesec, FILESEC_MODE, &mode) != 0 ||
        filesec_set_property(security.filesec, FILESEC_ACL, &security.none) != 0) {
        return -1;
    }
    return openx_np(path.c_str(), flags, security.filesec);
#else
    return open(path.c_str(), flags, secretFileMode);
#endif
}

// Puts six random characters of mkstemp's alphabet at the end of `name`.
// False, with errno set, when the system gives no randomness: getentropy
// says so, where glibc's arc4random aborts the process. One call a name;
// a byte at or past 248, the largest multiple of 62 a byte holds, is
// dropped, so every name is equally likely.
bool drawSuffix(std::string& name) {
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr unsigned limit = 256 - 256 % alphabet.size();
    std::size_t at = name.size() - 6;
    while (at < name.size()) {
        unsigned char bytes[16];
        if (getentropy(bytes, sizeof bytes) != 0) {
            return false;
        }
        for (const unsigned char byte : bytes) {
            if (byte < limit && at < name.size()) {
                name[at++] = alphabet[byte % alphabet.size()];
            }
        }
    }
    return true;
}

// Creates the temporary file `temp`, whose last six characters are
// replaced with a random suffix, exclusively (O_CREAT|O_EXCL: a link
// planted at the name fails the open instead of being followed) and
// owner-only. Returns its descriptor, or -1 with errno set and nothing
// left at the name, unless its removal failed too.
int createTemporary(std::string& temp) {
    // A name taken is tried again, a few times.
    for (int tries = 0; tries < 100; ++tries) {
        if (!drawSuffix(temp)) {
            return -1;
        }
        const int fd = createOwnerOnly(temp, O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EEXIST) {
            // The kernel may have made the file before failing (xnu's
            // vn_create keeps it when setting its attributes afterwards
            // fails). In a folder root's alone, under a random name not
            // there a moment ago, whatever is at the name is this call's.
            const int error = errno;
            unlink(temp.c_str());
            errno = error;
            return -1;
        }
    }
    return -1;
}

// Holds every signal that can be held for its lifetime: a word's writes,
// from its first temporary file to its last rename and folder sync. One
// that landed while a temporary file exists would leave it behind
// (root-owned, perhaps holding a private key); one between two files would
// leave c.ovpn of this call beside a.dat of the last; one between a rename
// and its folder sync, a rename a power cut can undo. Held, a signal takes
// effect once every file is in place and synced, or the write has failed.
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

// The writers' lock lies in a folder where no other user can create, open
// or hold a file: one that any user could open, in the shared folder or
// anywhere else, they could hold for ever (flock needs no write access),
// and every write would wait on them. The folder is walked as the shared
// one is before every take, whatever the system is said to keep. On macOS
// it is /private/var/db, root:wheel 0755 (launchd is reported to restore
// that at boot); not /private/var/run, which is group daemon's and some
// systems have 0775, where a process of that group could make the lock
// first, or rename it while a call waits and split it in two. On Linux
// root's run folder.
// Opened read-write, since NFS and CIFS take flock as a range lock that
// needs it; O_NOFOLLOW and O_NONBLOCK, so that neither a link nor a FIFO at
// the name leads the open astray or hangs it. Created as the temporary
// files are, with no ACL entry of the folder's. It is never removed: a
// lock file deleted while another call waits on it would give the two
// calls two different locks.
#ifdef __APPLE__
constexpr const char* lockPath = "/var/db/ZartoHelper.lock";
#else
constexpr const char* lockPath = "/var/run/ZartoHelper.lock";
#endif

// Waits for the writers' lock as long as another call holds it, and keeps
// it in `lock`. Returns "" or why it can't be had, nothing created then
// where the fault is the folder's. A file system that has no locks
// (ENOTSUP, EOPNOTSUPP, ENOLCK) is no reason to fail: the lock serves the
// writes, and they go on without it.
std::string takeWritersLock(Fd& lock) {
    if (std::string refused = folderDistrust(folderOf(lockPath)); !refused.empty()) {
        return refused;
    }
    lock = Fd(createOwnerOnly(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (lock.get() < 0 || fstat(lock.get(), &st) != 0) {
        return std::strerror(errno);
    }
    // Anything but root's own file: someone else made it, or may open it.
    // Its link count is no such sign: on macOS any user may give it a second
    // name (link asks no right over the file) on the same volume, which
    // lets no one open it, yet would fail every write for good.
    if (!S_ISREG(st.st_mode)) {
        return "is not a regular file";
    }
    if (st.st_uid != 0) {
        return "is owned by uid " + std::to_string(st.st_uid);
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return "is open to group or others";
    }
    // On macOS an ACL entry decides before the mode bits, and root needs
    // none: one inherited before the lock was created as it is now, or
    // added since, could let a user open the lock and hold it.
    if (std::string reason = aclOpenDistrust(lock.get()); !reason.empty()) {
        return reason;
    }
    while (flock(lock.get(), LOCK_EX) != 0) {
        if (errno == ENOTSUP || errno == EOPNOTSUPP || errno == ENOLCK) {
            return {};
        }
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

// Replaces `path` with `text` atomically: a temporary file with an
// unpredictable name is created exclusively beside it (never through a
// link), stripped of any ACL it inherited, given `mode`, filled completely,
// synced and renamed over `path`. A reader sees the old content or the new,
// never a mix; a link planted at `path` is replaced, not followed. Returns
// 0, or the errno of the failure, in which case the temporary file is gone
// and `path` is untouched. The caller holds signals throughout.
int replaceFile(const char* path, std::string_view text, mode_t mode) {
    // Same folder as the target, so the rename never crosses file systems.
    const std::string_view target(path);
    const std::size_t cut = folderEnd(target);
    const std::string folder = folderOf(target);
    std::string temp(target.substr(0, cut));
    temp += '.';
    temp += target.substr(cut);
    temp += ".XXXXXX";

    Fd fd(createTemporary(temp));
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

}  // namespace

mode_t ordinaryFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

void writeConfigFiles(std::initializer_list<ConfigFile> files) {
    // Checked before anything is created there, the lock's wait included:
    // every file lies in the first one's folder.
    const char* const first = files.begin()->path;
    if (const std::string refused = folderDistrust(folderOf(first)); !refused.empty()) {
        exitWithReport(std::string("cannot write ") + first, refused);
    }
    // Not under held signals: a helper that waits here can still be ended.
    Fd lock;
    if (const std::string refused = takeWritersLock(lock); !refused.empty()) {
        exitWithReport(std::string("cannot lock ") + lockPath, refused);
    }
    const HeldSignals held;
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

void waitForWriters() {
    // Taken and let go at once. One that can't be had holds nothing up.
    Fd lock;
    static_cast<void>(takeWritersLock(lock));
}
