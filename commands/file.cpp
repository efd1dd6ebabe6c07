#include "commands/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/acl.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdlib>
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
// a.dat owner-only. An empty extended ACL removes them. On Linux a folder's
// default ACL is already bounded by the mode: the new file's mask entry
// takes the mode's group bits, and no entry grants more than that.
int clearInheritedAcl([[maybe_unused]] int fd) {
#ifdef __APPLE__
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

}  // namespace

mode_t ordinaryFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

int replaceFile(const char* path, const std::string& text, mode_t mode) {
    // Same folder as the target, so the rename never crosses file systems.
    const std::string_view target(path);
    const std::size_t cut = target.rfind('/') + 1;  // 0 when there is no slash
    const std::string folder(cut == 0 ? "." : target.substr(0, cut));
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

void writeConfigFile(const char* path, const std::string& text, mode_t mode) {
    const int error = replaceFile(path, text, mode);
    if (error != 0) {
        exitWithError(std::string("cannot write ") + path, error);
    }
}
