#include "ZartoHelper/daemon.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#ifdef __APPLE__
#include <libproc.h>

#include <cstdlib>
#include <memory>
#else
#include <sched.h>
#include <sys/syscall.h>
#endif

#include "ZartoHelper/main.h"

namespace {

#ifdef __APPLE__
// dyld reads DYLD_INSERT_LIBRARIES and the other DYLD_* variables of the
// caller's environment before main runs, so the children's clean
// environment can't cover our own start. A binary with a __RESTRICT,
// __restrict section has dyld ignore them all. Zig's linker (which has no
// -sectcreate) drops the section unless code reads it: see
// startAsSystemDaemon.
__attribute__((used, section("__RESTRICT,__restrict"))) const char dyldRestricted = 0;
#endif

// Interval timers survive exec: a caller's armed ITIMER_REAL would kill us
// by SIGALRM mid-write. First, before anything else can be interrupted.
void disarmTimers() {
    const itimerval off{};
    for (const int timer : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) {
        static_cast<void>(setitimer(timer, &off, nullptr));
    }
}

// A careless caller leaks descriptors to us without close-on-exec. Children
// never get them (the spawn closes all but 0, 1 and 2), but they fill our
// own table: under macOS's usual limit of 256, 250 leaked ones leave no room
// for a capture's pipes, and setDNS would quietly run its flush alone. sudo
// and launchd close them too.
void closeInheritedDescriptors() {
    constexpr int first = STDERR_FILENO + 1;
#ifdef __APPLE__
    // macOS has neither close_range nor closefrom. The kernel's own list of
    // what is open, not a loop up to a limit: a descriptor opened before the
    // caller lowered its limit lies above it, and the hard limit may be
    // unlimited. The list is on the heap: our stack is the caller's size.
    const int bytes = proc_pidinfo(getpid(), PROC_PIDLISTFDS, 0, nullptr, 0);
    if (bytes > 0) {
        const std::size_t count = static_cast<std::size_t>(bytes) / sizeof(proc_fdinfo);
        // malloc, not new: a list that can't be had falls back to the loop
        // below, where new would end the helper (see main).
        const std::unique_ptr<proc_fdinfo, decltype(&std::free)> open(
            static_cast<proc_fdinfo*>(std::malloc(count * sizeof(proc_fdinfo))), &std::free);
        const int filled = open ? proc_pidinfo(getpid(), PROC_PIDLISTFDS, 0, open.get(), bytes) : 0;
        const std::size_t listed = filled > 0 ? static_cast<std::size_t>(filled) / sizeof(proc_fdinfo) : 0;
        for (std::size_t i = 0; i < listed; ++i) {
            if (open.get()[i].proc_fd >= first) {
                static_cast<void>(close(open.get()[i].proc_fd));
            }
        }
        if (filled > 0) {
            return;
        }
    }
#else
    if (close_range(first, ~0U, 0) == 0) {
        return;
    }
#endif
    // Refused (an old kernel, say): everything below the table's size.
    const int end = static_cast<int>(std::min(sysconf(_SC_OPEN_MAX), 65536L));
    for (int fd = first; fd < end; ++fd) {
        static_cast<void>(close(fd));
    }
}

// Raises the soft limit to `wanted` and the hard one with it where lower.
// Where the hard limit can't be raised, the soft one goes as far as it may.
void raiseLimit(int resource, rlim_t wanted) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || (limit.rlim_cur >= wanted && limit.rlim_max >= wanted)) {
        return;
    }
    const rlim_t hard = limit.rlim_max;
    limit.rlim_cur = std::max(limit.rlim_cur, wanted);
    limit.rlim_max = std::max(limit.rlim_max, wanted);
    if (setrlimit(resource, &limit) != 0 && limit.rlim_cur > hard) {
        limit = {hard, hard};
        static_cast<void>(setrlimit(resource, &limit));
    }
}

// Limits survive exec and pass to every child: a user's session could fail
// our writes, starve setDNS of descriptors, or hand its CPU, file-size and
// core limits to a root OpenVPN (killed later, system files truncated, a
// core holding credentials), a stack small enough to crash it, or a process
// count that keeps its scripts from forking once it drops to nobody. These
// children do root's work, not the user's, so they get a daemon's limits as
// launchd gives them: none but the descriptor count and the stack, and no
// core. Only core is ever lowered; what the system refuses to raise stays,
// and a write then still fails cleanly. Without root the soft limits still
// go up to the hard ones, which needs no privilege.
void takeDaemonLimits() {
    const rlimit noCore{0, 0};
    static_cast<void>(setrlimit(RLIMIT_CORE, &noCore));
    for (const int resource :
         {RLIMIT_CPU, RLIMIT_FSIZE, RLIMIT_DATA, RLIMIT_AS, RLIMIT_NPROC, RLIMIT_MEMLOCK}) {
        raiseLimit(resource, RLIM_INFINITY);
    }
#ifdef RLIMIT_RTTIME
    // Linux's budget of CPU time a realtime process may use between two
    // blocking calls: a caller's 1 ms would end us by SIGXCPU while we
    // decode a large argument, and OpenVPN later.
    raiseLimit(RLIMIT_RTTIME, RLIM_INFINITY);
#endif
    // launchd's default for a daemon; a captured run needs four beside 0,
    // 1 and 2.
    constexpr rlim_t enoughDescriptors = 256;
    raiseLimit(RLIMIT_NOFILE, enoughDescriptors);
    // The system's default. Our own main stack was sized at exec on macOS,
    // so this is for the children (and for us on Linux, which grows it).
    constexpr rlim_t systemStack = rlim_t{8} << 20;
    raiseLimit(RLIMIT_STACK, systemStack);
}

// A caller that started us with 0, 1 or 2 closed would otherwise see our
// next pipe or temporary file land there and be handed to a child as its
// standard stream. /dev/null stands in for a missing one.
void openStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            // Lowest free descriptor: this one, as the lower ones are open.
            static_cast<void>(open("/dev/null", O_RDWR));
        }
    }
}

// O_NONBLOCK belongs to the open file description, which the caller shares
// with whatever program set it. Every child is written for blocking streams
// and drops output on EAGAIN (route's 300 KB would arrive as 64 KiB).
void makeStandardStreamsBlocking() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
            static_cast<void>(fcntl(fd, F_SETFL, flags & ~O_NONBLOCK));
        }
    }
}

// A user's nice 19 or idle class would starve OpenVPN, which carries the
// machine's traffic long after we end, and an idle disk class would stall
// every write it makes. Only what lowers the priority is undone: a raised
// one, or a realtime class (root's, or on Linux a user's within its
// RLIMIT_RTPRIO), is the caller's deliberate choice and is kept.
void takeDaemonPriority() {
    errno = 0;
    const int niceness = getpriority(PRIO_PROCESS, 0);
    if (errno == 0 && niceness > 0) {
        static_cast<void>(setpriority(PRIO_PROCESS, 0, 0));
    }
#ifdef __APPLE__
    // The darwin background state that this process set on itself
    // (setpriority with PRIO_DARWIN_BG) lowers CPU, disk and network
    // priority, and children inherit it. A background state applied from
    // outside, a QoS clamp and disabled ASLR have no documented reset.
    static_cast<void>(setpriority(PRIO_DARWIN_PROCESS, 0, 0));
    // The disk I/O policy that taskpolicy -d throttle or a parent's
    // setiopolicy_np left: back to the default, which no policy outranks.
    static_cast<void>(setiopolicy_np(IOPOL_TYPE_DISK, IOPOL_SCOPE_PROCESS, IOPOL_DEFAULT));
#else
    const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    if (policy == SCHED_IDLE || policy == SCHED_BATCH) {
        const sched_param normal{};
        static_cast<void>(sched_setscheduler(0, SCHED_OTHER, &normal));
    }
    // ionice -c 3: disk I/O only when no one else wants the disk. Class
    // "none" is the default every process starts with: best effort, its
    // level taken from the nice value (0 now). glibc has no wrapper.
    constexpr long whoProcess = 1;  // IOPRIO_WHO_PROCESS
    constexpr int classShift = 13;  // IOPRIO_CLASS_SHIFT
    constexpr long idleClass = 3;   // IOPRIO_CLASS_IDLE
    if (syscall(SYS_ioprio_get, whoProcess, 0) >> classShift == idleClass) {
        static_cast<void>(syscall(SYS_ioprio_set, whoProcess, 0, 0));
    }
#endif
}

// A caller that gained administrator rights through a setuid-root
// trampoline leaves us with effective uid 0 and the user's real uid, gid and
// groups. bash drops to the real uid or gid whenever it differs from the
// effective one, and every other child would keep the user's groups. One
// identity for every child: root's, groups included.
void becomeRootEntirely() {
    if (geteuid() != 0) {
        return;
    }
    const gid_t root = 0;
    gid_t current = 1;
    // Left alone when already {0}: a root that may not change its groups
    // (some containers) must not fail for nothing.
    const bool onlyRoot = getgroups(0, nullptr) == 1 && getgroups(1, &current) == 1 && current == root;
    if ((!onlyRoot && setgroups(1, &root) != 0) || setgid(root) != 0 || setuid(0) != 0) {
        exitWithError("cannot run as root", errno);
    }
}

}  // namespace

void startAsSystemDaemon() {
#ifdef __APPLE__
    static_cast<void>(*static_cast<const volatile char*>(&dyldRestricted));
#endif
    disarmTimers();
    // With SIGCHLD ignored the kernel reaps children itself: waitpid fails
    // with ECHILD and every exit status is lost (POSIX even lets waitpid
    // wait for every child then, OpenVPN included). A caller may leave it so.
    static_cast<void>(signal(SIGCHLD, SIG_DFL));
    // A write past a file-size limit, or of the error report to a closed
    // pipe, must fail as a write (status 1 and no temporary file left), not
    // kill the helper. Children get these, and the three below, back at
    // their default.
    static_cast<void>(signal(SIGXFSZ, SIG_IGN));
    static_cast<void>(signal(SIGPIPE, SIG_IGN));
    // A caller that reads our output with O_ASYNC, owned by its process
    // group, has the kernel send SIGIO at every line we write: Linux's
    // default for it ends a process.
    static_cast<void>(signal(SIGIO, SIG_IGN));
    // A daemon is not stopped by its caller's terminal: in a background job
    // with "stty tostop" our report would stop us (SIGTTOU) until someone
    // brings the job back. Ignored, the write goes through. We read no
    // input, so SIGTTIN could only stop us as well.
    static_cast<void>(signal(SIGTTOU, SIG_IGN));
    static_cast<void>(signal(SIGTTIN, SIG_IGN));
    closeInheritedDescriptors();
    // Before the standard descriptors, which a limit of 2 would leave no
    // room for; those before anything that may report.
    takeDaemonLimits();
    openStandardDescriptors();
    makeStandardStreamsBlocking();
    takeDaemonPriority();
    becomeRootEntirely();
    // A umask of 000 would leave zarto.conf, and whatever OpenVPN writes,
    // writable by every user. The caller's, with 022 added: never looser.
    umask(umask(0) | 022);
    // OpenVPN resolves the relative paths of its configuration (status, log,
    // writepid) against its working directory: never a folder of the user's.
    if (chdir("/") != 0) {
        exitWithError("cannot change to /", errno);
    }
}
