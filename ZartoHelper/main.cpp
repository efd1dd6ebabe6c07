#include "ZartoHelper/main.h"

#include <fcntl.h>
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

// A caller that gained administrator rights through a setuid-root
// trampoline leaves us with effective uid 0 and the user's real uid. bash
// drops to the real uid whenever the two differ, so OpenVPN and the cache
// flush would run as the user while every other child runs as root. One
// identity for every child: root.
void becomeRootEntirely() {
    if (geteuid() == 0 && getuid() != 0 && setuid(0) != 0) {
        exitWithError("cannot run as root", errno);
    }
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

}  // namespace

int main(int argc, char* argv[]) {
    // With SIGCHLD ignored the kernel reaps children itself: waitpid fails
    // with ECHILD and every exit status is lost. A caller may leave it so.
    static_cast<void>(signal(SIGCHLD, SIG_DFL));
    // A write past the caller's file-size limit, or of the error report to a
    // closed pipe, must fail as a write (status 1 and no temporary file
    // left), not kill the helper. Children get both back at their default.
    static_cast<void>(signal(SIGXFSZ, SIG_IGN));
    static_cast<void>(signal(SIGPIPE, SIG_IGN));
    openStandardDescriptors();
    becomeRootEntirely();

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
