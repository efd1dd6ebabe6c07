#include "process/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <utility>

#include "commands/file.h"
#include "process/trust.h"

// Lines are views into bytes their result owns: a temporary's would dangle,
// so only a result that lives hands them out.
template <typename Result>
concept OutputFrom = requires {
    std::declval<Result>().output();
};
template <typename Result>
concept ErrorFrom = requires {
    std::declval<Result>().error();
};
static_assert(OutputFrom<const CommandResult&> && ErrorFrom<const CommandResult&>);
static_assert(!OutputFrom<CommandResult> && !ErrorFrom<CommandResult>);

TEST(RunCommand, CapturesBothStreamsAsLinesAndTheStatus) {
    const CommandResult r =
        runCommand("/bin/sh", {"-c", "printf 'a\\nb\\n'; printf '\\n\\ne\\n' >&2; exit 3"});
    EXPECT_EQ(r.output(), (Lines{"a", "b"}));
    EXPECT_EQ(r.error(), (Lines{"e"}));
    EXPECT_EQ(r.exitCode, 3);

    const CommandResult silent = runCommand("/usr/bin/true", {});
    EXPECT_EQ(silent.output(), (Lines{""}));
    EXPECT_EQ(silent.error(), (Lines{""}));
    EXPECT_EQ(silent.exitCode, 0);
}

TEST(RunCommand, IllFormedOutputLeavesOnlyThatStreamEmpty) {
    const CommandResult r = runCommand("/bin/sh", {"-c", "printf 'x\\377'; echo err >&2; exit 4"});
    EXPECT_TRUE(r.output().empty());
    EXPECT_EQ(r.error(), (Lines{"err"}));
    EXPECT_EQ(r.exitCode, 4);
}

TEST(RunCommand, ChildFillingStandardErrorFirstDoesNotStall) {
    // Far past any pipe buffer on standard error before a byte of output.
    const CommandResult r = runCommand(
        "/bin/sh",
        {"-c", "head -c 3000000 /dev/zero | tr '\\0' x >&2; echo done; head -c 3000000 /dev/zero"});
    ASSERT_EQ(r.error().size(), 1U);
    EXPECT_EQ(r.error()[0].size(), 3000000U);
    EXPECT_TRUE(r.output().size() == 2 && r.output()[0] == "done" && r.output()[1].size() == 3000000U);
}

TEST(Runners, SignalNumberForAKilledChild) {
    EXPECT_EQ(runCommand("/bin/sh", {"-c", "kill -TERM $$"}).exitCode, SIGTERM);
    EXPECT_EQ(runCommandWithOutPipe("/bin/sh", {"-c", "kill -KILL $$"}), SIGKILL);
    EXPECT_EQ(runCommandWithOutPipeWithArr("/bin/sh", {"-c", "exit 255"}), 255);
}

TEST(Runners, ProgramThatCannotStartGives127AndNothingElse) {
    const CommandResult r = runCommand("/nonexistent/program", {"x"});
    EXPECT_TRUE(r.output().empty());
    EXPECT_TRUE(r.error().empty());
    EXPECT_EQ(r.exitCode, 127);
    EXPECT_EQ(runCommandWithOutPipe("/nonexistent/program", {}), 127);
    // A script that would run, were it executable.
    char script[] = "/tmp/zarto-not-executable.XXXXXX";
    const int fd = mkstemp(script);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "#!/bin/sh\nexit 0\n", 17), 17);
    fchmod(fd, 0644);
    close(fd);
    EXPECT_EQ(runCommandWithOutPipeWithArr(script, {}), 127);
    unlink(script);
}

TEST(Runners, ArgumentsArriveUnchangedWithArgv0ThePath) {
    const CommandResult r = runCommand(
        "/bin/sh", {"-c", "printf '[%s]' \"$0\" \"$@\"", "/bin/sh", "two words", "", "*", "$HOME"});
    EXPECT_EQ(r.output(), (Lines{"[/bin/sh][two words][][*][$HOME]"}));
}

TEST(Shell, ReturnsTheWholeOutputUnchangedOrEmpty) {
    EXPECT_EQ(shell("printf 'a\\nb\\n'"), "a\nb\n");
    EXPECT_EQ(shell("true"), "");
    EXPECT_EQ(shell("printf 'ok\\377'"), "");
    EXPECT_EQ(shell("echo $((6*7))"), "42\n");  // a real shell does the work
}

namespace {
void onAlarm(int /*signal*/) {}
}  // namespace

// Signals arriving without SA_RESTART interrupt poll, read and waitpid;
// every one of them must be retried.
TEST(Runners, InterruptingSignalsAreRetried) {
    struct sigaction alarm {};
    alarm.sa_handler = onAlarm;
    struct sigaction old {};
    sigaction(SIGALRM, &alarm, &old);
    const itimerval every{{0, 500}, {0, 500}};
    setitimer(ITIMER_REAL, &every, nullptr);

    const CommandResult r = runCommand("/bin/sh", {"-c", "for i in 1 2 3; do echo $i; sleep 0.05; done"});
    const std::int32_t status = runCommandWithOutPipe("/bin/sh", {"-c", "sleep 0.1; exit 6"});

    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(r.output(), (Lines{"1", "2", "3"}));
    EXPECT_EQ(status, 6);
}

// Out of descriptors, a run is skipped like a program that can't start.
TEST(Runners, NoDescriptorsLeftForPipes) {
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    const rlimit few{4, old.rlim_max};  // 0, 1, 2 and one more: no pipe pair
    setrlimit(RLIMIT_NOFILE, &few);
    const CommandResult r = runCommand("/bin/echo", {"x"});
    const std::string text = shell("echo x");
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(r.output().empty() && r.error().empty());
    EXPECT_EQ(r.exitCode, 127);
    EXPECT_EQ(text, "");
}

// Why main resets SIGCHLD: ignored, the kernel reaps children itself and
// their status is lost; the runner still returns in order.
TEST(Runners, IgnoredSigchldLosesTheStatusButNotTheRun) {
    const auto old = signal(SIGCHLD, SIG_IGN);
    const std::int32_t status = runCommandWithOutPipe("/bin/sh", {"-c", "exit 3"});
    signal(SIGCHLD, old);
    EXPECT_EQ(status, 127);
}

// The decisions behind the macOS checks, every case of which runs on every
// platform: which ACL entries let another user change a component, and
// which let one open the writers' lock (any that allows anything).
TEST(ProgramCheck, AclEntryThatLetsAnotherUserChangeOrOpenIt) {
    constexpr std::uint64_t everyReadRight =
        aclReadDataRight | aclExecuteRight | aclReadAttributesRight | aclReadExtAttributesRight |
        aclReadSecurityRight | aclSynchronizeRight | aclGenericReadRight | aclGenericExecuteRight;
    struct Row {
        const char* what;
        std::uint32_t tag;
        std::uint32_t flags;
        std::uint64_t rights;
        bool changes;
        bool opens;
    };
    const Row rows[] = {
        {"generic write", aclAllowTag, 0, aclGenericWriteRight, true, true},
        {"generic all", aclAllowTag, 0, aclGenericAllRight, true, true},
        {"append, add_subdirectory on a folder", aclAllowTag, 0, aclAppendDataRight, true, true},
        {"write among read rights", aclAllowTag, 0, everyReadRight | aclWriteDataRight, true, true},
        {"a right outside the read class", aclAllowTag, 0, std::uint64_t{1} << 30, true, true},
        {"every read right", aclAllowTag, 0, everyReadRight, false, true},
        {"synchronize alone", aclAllowTag, 0, aclSynchronizeRight, false, true},
        {"inherit-only", aclAllowTag, aclOnlyInheritFlag, aclGenericAllRight | aclWriteDataRight, false,
         false},
        {"deny", aclDenyTag, 0, aclGenericAllRight | aclWriteDataRight, false, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(aclEntryLetsOthersChange(row.tag, row.flags, row.rights), row.changes) << row.what;
        EXPECT_EQ(aclEntryAllows(row.tag, row.flags), row.opens) << row.what;
    }
}

// Which volumes can be trusted: mounted by root, with owners that mean
// something.
TEST(ProgramCheck, VolumeMountedByAUserOrIgnoringOwnership) {
    constexpr std::uint32_t localRoot = 0x00001000 | 0x00004000;  // MNT_LOCAL, MNT_ROOTFS
    EXPECT_EQ(volumeDistrust(501, localRoot), "is on a volume mounted by uid 501");
    EXPECT_EQ(volumeDistrust(0, localRoot | ignoreOwnershipFlag), "is on a volume that ignores ownership");
    EXPECT_EQ(volumeDistrust(0, localRoot), "");
}

// Both kernels' reading of a "#!" line, whichever this runs on: what each
// would start, "" for no script, nothing where exec refuses.
TEST(ProgramCheck, ShebangLinesAsEachKernelReadsThem) {
    using Name = std::optional<std::string>;
    const std::string at255 = "#!/" + std::string(252, 'a');  // a name ending at byte 255
    struct Row {
        std::string head;
        Name linux;
        Name xnu;
    };
    const Row rows[] = {
        {"\x7f"
         "ELF",
         "", ""},
        {"#! \t/bin/sh -x\n", "/bin/sh", "/bin/sh"},
        {"#!/bin/sh#comment\n", "/bin/sh#comment", "/bin/sh"},
        {"#!#\n", "#", std::nullopt},
        {"#!  \n", std::nullopt, std::nullopt},
        {std::string("#!/bin/s\0h\n", 11), "/bin/s", "/bin/s"},
        {std::string("#!\0/bin/sh\n", 11), std::nullopt, std::nullopt},
        // No line end in the file: Linux takes a name that ends in its
        // buffer, xnu nothing.
        {"#!/bin/sh", "/bin/sh", std::nullopt},
        {"#!/bin/sh -x " + std::string(600, 'a') + "\n", "/bin/sh", std::nullopt},
        // Names that end at Linux's 256th byte and past it, with the line
        // ending later.
        {at255 + " " + std::string(100, 'x') + "\n", at255.substr(2), at255.substr(2)},
        {at255 + "a " + std::string(100, 'x') + "\n", std::nullopt, at255.substr(2) + "a"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(shebangInterpreter(row.head, linuxShebang), row.linux) << testing::PrintToString(row.head);
        EXPECT_EQ(shebangInterpreter(row.head, xnuShebang), row.xnu) << testing::PrintToString(row.head);
    }
}

// Scripts whose interpreters are scripts in turn, as deep as this kernel
// follows and one deeper: the check trusts exactly the chain that exec
// runs, the kernel itself being the judge.
TEST(ProgramCheck, InterpreterChainsAsDeepAsTheKernelFollows) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the check trusts root's files alone";
    }
    char dir[] = "/tmp/zarto-chain.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const auto kernelRuns = [](const std::string& path) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            execl(path.c_str(), path.c_str(), nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    for (const int levels : {hostShebang.levels, hostShebang.levels + 1}) {
        // The program, then levels - 1 scripts, then /bin/sh as the last.
        std::string next = "/bin/sh";
        for (int level = levels - 1; level >= 0; --level) {
            const std::string path =
                std::string(dir) + "/" + std::to_string(levels) + "-" + std::to_string(level);
            std::ofstream(path) << "#!" << next << "\nexit 0\n";
            chmod(path.c_str(), 0755);
            next = path;
        }
        EXPECT_EQ(kernelRuns(next), levels == hostShebang.levels) << levels;
        EXPECT_EQ(isTrustedProgram(next.c_str()), levels == hostShebang.levels) << levels;
    }
    runCommandWithOutPipe("/bin/rm", {"-rf", dir});
}

// F_FULLFSYNC's failures that leave fsync to do what it can, and those
// that are a failed write.
TEST(Writes, FullSyncFallsBackOnlyWhereTheFileSystemLacksIt) {
    for (const int error : {ENOTTY, ENOTSUP, EOPNOTSUPP, EINVAL}) {
        EXPECT_TRUE(fullSyncUnsupported(error)) << error;
    }
    for (const int error : {EIO, ENOSPC, EDQUOT, EINTR, EBADF}) {
        EXPECT_FALSE(fullSyncUnsupported(error)) << error;
    }
}
