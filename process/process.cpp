#include "process/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <utility>

#include "process/fd.h"
#include "process/report.h"
#include "process/text.h"
#include "process/trust.h"

// A child must never inherit a descriptor the caller leaked to the helper:
// it would run as root holding it. Without a way to close them all at the
// start, building would silently hand them on.
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
#define ZARTO_CLOEXEC_DEFAULT 1
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#define ZARTO_ADDCLOSEFROM 1
#else
#error "no way to close inherited descriptors in posix_spawn on this platform"
#endif

namespace {

constexpr const char* shellPath = "/bin/bash";
constexpr std::int32_t notStartedStatus = 127;

// Every child gets launchd's environment for a system daemon, never the
// caller's: the caller's environment comes from a user's session, and
// BASH_ENV, an exported shell function, a PATH of the user's or
// LD_PRELOAD/DYLD_INSERT_LIBRARIES would run the user's code as root. No
// /usr/local/bin: on many Macs it belongs to the user.
char childPath[] = "PATH=/usr/bin:/bin:/usr/sbin:/sbin";
char* const childEnvironment[] = {childPath, nullptr};

// Owns the spawn attributes and file actions of one start; only what was
// initialised is destroyed. Each init's error is kept: ENOMEM there is the
// helper's own failure, not the program's.
struct SpawnSetup {
    posix_spawnattr_t attr{};
    posix_spawn_file_actions_t actions{};
    int attrError = posix_spawnattr_init(&attr);
    int actionsError = posix_spawn_file_actions_init(&actions);
    SpawnSetup() = default;
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        if (actionsError == 0) {
            posix_spawn_file_actions_destroy(&actions);
        }
        if (attrError == 0) {
            posix_spawnattr_destroy(&attr);
        }
    }
};

// Fills in how every child starts. Each call is checked: a child started
// with one of them missing would run as root with the caller's descriptors,
// blocked or ignored signals, so it is better not started at all. Returns
// 0, or the error of the first call that failed.
int prepareSpawn(SpawnSetup& setup, int outFd, int errFd, bool ownSession) {
    if (setup.attrError != 0 || setup.actionsError != 0) {
        return setup.attrError != 0 ? setup.attrError : setup.actionsError;
    }
    int error = 0;
    // The caller may have blocked signals; a child that inherits the mask
    // would never see SIGTERM or SIGINT.
    sigset_t none;
    sigemptyset(&none);
    // Ignored signals survive exec: a caller that ignores SIGPIPE or SIGINT
    // (or the helper itself, which ignores SIGPIPE and SIGXFSZ) would hand
    // that on to route, bash or OpenVPN. Reset every one.
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef ZARTO_CLOEXEC_DEFAULT
    // Closes everything not named below, including descriptors the caller
    // leaked to the helper without close-on-exec.
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    if (ownSession) {
#ifdef POSIX_SPAWN_SETSID
        // Out of the caller's session and process group: a terminal's ^C or
        // hang-up must not reach a root OpenVPN that outlives us.
        flags |= POSIX_SPAWN_SETSID;
#else
        // A group of its own (the attribute's group 0 is the child's pid)
        // at least keeps a terminal's ^C away.
        flags |= POSIX_SPAWN_SETPGROUP;
#endif
    }
    if ((error = posix_spawnattr_setsigmask(&setup.attr, &none)) != 0 ||
        (error = posix_spawnattr_setsigdefault(&setup.attr, &all)) != 0 ||
        (error = posix_spawnattr_setflags(&setup.attr, flags)) != 0) {
        return error;
    }
#ifdef ZARTO_CLOEXEC_DEFAULT
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if ((error = posix_spawn_file_actions_addinherit_np(&setup.actions, fd)) != 0) {
            return error;
        }
    }
#endif
    if ((outFd >= 0 &&
         (error = posix_spawn_file_actions_adddup2(&setup.actions, outFd, STDOUT_FILENO)) != 0) ||
        (errFd >= 0 &&
         (error = posix_spawn_file_actions_adddup2(&setup.actions, errFd, STDERR_FILENO)) != 0)) {
        return error;
    }
#ifdef ZARTO_ADDCLOSEFROM
    // Same aim as CLOEXEC_DEFAULT; runs after the dup2s above.
    error = posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
#endif
    return error;
}

// The one way this program starts a child. argv[0] is the program path and
// argv ends with a null pointer. outFd/errFd: -1 keeps the helper's own
// stream, otherwise that descriptor becomes the child's 1 or 2. ownSession:
// in a new session, for a child nobody waits for.
// Returns the child's pid, or -1 when it could not be started or root must
// not start it (see isTrustedProgram).
// ENOMEM, from the set-up or from the start itself (glibc maps a stack for
// the child; the kernel may find no room for its image), is the helper
// short of memory, not a program that can't be started: taken for the
// latter, a run would go on without route or the tunnel program and end
// with 0. It ends the helper as any other allocation that fails.
pid_t spawnProgram(char* const argv[], int outFd, int errFd, bool ownSession = false) {
    if (!isTrustedProgram(argv[0])) {
        return -1;
    }
    SpawnSetup setup;
    pid_t pid = -1;
    int error = prepareSpawn(setup, outFd, errFd, ownSession);
    if (error == 0) {
        error = posix_spawn(&pid, argv[0], &setup.actions, &setup.attr, argv, childEnvironment);
    }
    if (error == ENOMEM) {
        exitOutOfMemory();
    }
    return error == 0 ? pid : -1;
}

std::int32_t waitForExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return notStartedStatus;
        }
    }
    if (WIFSIGNALED(status)) {
        return WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

char* mutableArg(const char* s) { return const_cast<char*>(s); }
char* mutableArg(const std::string& s) { return const_cast<char*>(s.c_str()); }

template <typename Args>
std::vector<char*> argvFor(const char* cmd, const Args& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(mutableArg(cmd));
    for (const auto& arg : args) {
        argv.push_back(mutableArg(arg));
    }
    argv.push_back(nullptr);
    return argv;
}

template <typename Args>
std::int32_t runInherited(const char* cmd, const Args& args) {
    const std::vector<char*> argv = argvFor(cmd, args);
    const pid_t pid = spawnProgram(argv.data(), -1, -1);
    return pid < 0 ? notStartedStatus : waitForExit(pid);
}

struct Pipe {
    Fd read;
    Fd write;
};

// Both ends close-on-exec, so a pipe never reaches a later child.
bool openPipe(Pipe& p) {
    int fds[2];
#ifdef __APPLE__
    if (pipe(fds) != 0) {
        return false;
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#else
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
#endif
    p.read = Fd(fds[0]);
    p.write = Fd(fds[1]);
    return true;
}

enum class Read { more, end, failed };

// Reads what is there from `fd` straight into `sink`: one copy of the bytes,
// the one the lines are views into.
Read readSome(int fd, Capture& sink) {
    // A page at least: what most runs print (a listing, an error line) then
    // fits in memory the heap already has, with no system call to get
    // more; a large output reads into the room its growing block leaves.
    constexpr std::size_t leastRoom = 4096;
    char* const room = sink.room(leastRoom);
    for (;;) {
        const ssize_t n = read(fd, room, sink.roomLeft());
        if (n > 0) {
            sink.filled(static_cast<std::size_t>(n));
            return Read::more;
        }
        if (n == 0) {
            return Read::end;
        }
        if (errno != EINTR) {
            return Read::failed;
        }
    }
}

// Reads every pipe to its end at once, so that a child blocked on a full
// pipe never waits for us while we wait on the other one. Sets ended[i]
// only for a stream read to its end: one cut short by a failing read or
// poll is a part whose rest is unknown, never to be taken for the whole.
// Every pipe is closed on return, so a child still writing to one gets
// EPIPE instead of waiting for a reader while we wait for its exit.
void drain(Fd* pipes, Capture* sinks, bool* ended, std::size_t count) {
    pollfd polls[2];
    std::size_t open = count;
    for (std::size_t i = 0; i < count; ++i) {
        polls[i] = {pipes[i].get(), POLLIN, 0};
        ended[i] = false;
    }
    while (open > 0) {
        if (poll(polls, count, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (polls[i].fd < 0 || polls[i].revents == 0) {
                continue;
            }
            const Read got = readSome(polls[i].fd, sinks[i]);
            if (got != Read::more) {
                ended[i] = got == Read::end;
                pipes[i].reset();
                polls[i].fd = -1;  // poll skips negative descriptors
                --open;
            }
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        pipes[i].reset();
    }
}

// Starts bash -c commandLine; outFd and ownSession as in spawnProgram.
pid_t spawnShell(const char* commandLine, int outFd, bool ownSession) {
    char* argv[] = {mutableArg(shellPath), mutableArg("-c"), mutableArg(commandLine), nullptr};
    return spawnProgram(argv, outFd, -1, ownSession);
}

}  // namespace

char* Capture::room(std::size_t wanted) {
    if (roomLeft() < wanted) {
        // A quarter more at a time: with the pages moved, not copied, a
        // small step costs little, and the block never runs far ahead of
        // what it holds.
        const std::size_t grown = std::max(size_ + wanted, capacity_ + capacity_ / 4);
        void* const block = std::realloc(data_, grown);
        if (block == nullptr) {
            exitOutOfMemory();
        }
        data_ = static_cast<char*>(block);
        capacity_ = grown;
    }
    return data_ + size_;
}

std::int32_t runCommandWithOutPipe(const char* cmd, std::initializer_list<const char*> args) {
    return runInherited(cmd, args);
}

std::int32_t runCommandWithOutPipeWithArr(const char* cmd, const std::vector<std::string>& args) {
    return runInherited(cmd, args);
}

CommandResult runCommand(const char* cmd, std::initializer_list<const char*> args) {
    CommandResult result;
    Pipe out;
    Pipe err;
    if (!openPipe(out) || !openPipe(err)) {
        result.exitCode = notStartedStatus;
        return result;
    }
    const std::vector<char*> argv = argvFor(cmd, args);
    const pid_t pid = spawnProgram(argv.data(), out.write.get(), err.write.get());
    // Our copies of the write ends must go, or the reads never see the end.
    out.write.reset();
    err.write.reset();
    if (pid < 0) {
        result.exitCode = notStartedStatus;
        return result;
    }
    Fd pipes[2] = {std::move(out.read), std::move(err.read)};
    Capture bytes[2];
    bool ended[2];
    drain(pipes, bytes, ended, 2);
    // A stream cut short stays empty, as ill-formed text does: with
    // "Wi-Fi 2" cut after "Wi-Fi", a listing would name another service.
    // Split before the bytes move in: an argument's order of evaluation is
    // the compiler's.
    if (ended[0]) {
        Lines lines = splitLines(bytes[0].bytes());
        result.keepOutput(std::move(lines), std::move(bytes[0]));
    }
    if (ended[1]) {
        Lines lines = splitLines(bytes[1].bytes());
        result.keepError(std::move(lines), std::move(bytes[1]));
    }
    result.exitCode = waitForExit(pid);
    return result;
}

std::string shell(const char* commandLine) {
    Pipe out;
    if (!openPipe(out)) {
        return {};
    }
    const pid_t pid = spawnShell(commandLine, out.write.get(), false);
    out.write.reset();
    if (pid < 0) {
        return {};
    }
    Capture bytes;
    bool ended = false;
    drain(&out.read, &bytes, &ended, 1);
    // Waited for like every run but OpenVPN's: the end of its output is not
    // the end of its work.
    waitForExit(pid);
    if (!ended || !isValidUtf8(bytes.bytes())) {
        return {};
    }
    return std::string(bytes.bytes());
}

void shellNoPipe(const char* commandLine) { spawnShell(commandLine, -1, true); }
