#include "ZartoHelper/main.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "commands/commands.h"
#include "process/fd.h"
#include "process/text.h"

std::vector<std::string> arguments;

bool isCommand(const std::vector<std::string>& args, const char* word) {
    return std::find(args.begin(), args.end(), word) != args.end();
}

void exitWithError(const std::string& what, int error) {
    const std::string message = "ZartoHelper: " + what + ": " + std::strerror(error) + "\n";
    writeAll(STDERR_FILENO, message.data(), message.size());
    std::exit(1);
}

namespace {

#ifdef __APPLE__
// dyld reads DYLD_INSERT_LIBRARIES and the other DYLD_* variables of the
// caller's environment before main runs, so the children's clean
// environment can't cover our own start. A binary with a __RESTRICT,
// __restrict section has dyld ignore them all. Zig's linker (which has no
// -sectcreate) drops the section unless code reads it: see main.
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
// core holding credentials). These children do root's work, not the user's,
// so they get a daemon's limits as launchd gives them: none but the
// descriptor count, and no core. Only core is ever lowered; what the system
// refuses to raise stays, and a write then still fails cleanly.
void takeDaemonLimits() {
    if (geteuid() != 0) {
        return;
    }
    const rlimit noCore{0, 0};
    static_cast<void>(setrlimit(RLIMIT_CORE, &noCore));
    for (const int resource : {RLIMIT_CPU, RLIMIT_FSIZE, RLIMIT_DATA, RLIMIT_AS}) {
        raiseLimit(resource, RLIM_INFINITY);
    }
    // launchd's default for a daemon; a captured run needs four beside 0,
    // 1 and 2.
    constexpr rlim_t enoughDescriptors = 256;
    raiseLimit(RLIMIT_NOFILE, enoughDescriptors);
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

// What a system daemon starts with, whatever the user's session that
// started us left behind. Arguments and standard streams are kept, and so is
// the caller's session for the children we wait for.
void startAsSystemDaemon() {
    disarmTimers();
    // With SIGCHLD ignored the kernel reaps children itself: waitpid fails
    // with ECHILD and every exit status is lost. A caller may leave it so.
    static_cast<void>(signal(SIGCHLD, SIG_DFL));
    // A write past a file-size limit, or of the error report to a closed
    // pipe, must fail as a write (status 1 and no temporary file left), not
    // kill the helper. Children get both back at their default.
    static_cast<void>(signal(SIGXFSZ, SIG_IGN));
    static_cast<void>(signal(SIGPIPE, SIG_IGN));
    // Before the descriptors, which a limit of 2 would leave no room for;
    // those before anything that may report.
    takeDaemonLimits();
    openStandardDescriptors();
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

}  // namespace

int main(int argc, char* argv[]) {
#ifdef __APPLE__
    static_cast<void>(*static_cast<const volatile char*>(&dyldRestricted));
#endif
    startAsSystemDaemon();

    arguments.reserve(static_cast<std::size_t>(argc > 0 ? argc - 1 : 0));
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(decodeUtf8Lossy(argv[i]));
    }

    // A fixed order, whatever the order of the arguments; every present word
    // runs once.
    if (isCommand(arguments, "runCommand")) {
        routePassThrough();
    }
    if (isCommand(arguments, "ovStop")) {
        interfacePassThrough();
    }
    if (isCommand(arguments, "start")) {
        start();
    }
    if (isCommand(arguments, "stop")) {
        stop();
    }
    if (isCommand(arguments, "clearRoute")) {
        clearRoute();
    }
    if (isCommand(arguments, "ovStart")) {
        ovStart();
    }
    if (isCommand(arguments, "ovConfig")) {
        ovConfig();
    }
    if (isCommand(arguments, "setDNS")) {
        setDNS();
    }
    if (isCommand(arguments, "deleteDNS")) {
        deleteDNS();
    }
    return 0;
}
