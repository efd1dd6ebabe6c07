#include "ZartoHelper/main.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "commands/commands.h"
#include "process/text.h"

std::vector<std::string> arguments;

bool isCommand(const std::vector<std::string>& args, const char* word) {
    return std::find(args.begin(), args.end(), word) != args.end();
}

namespace {

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
    // Waiting for children needs SIGCHLD at its default: a caller that left
    // it ignored would make every child vanish unwaited-for.
    static_cast<void>(signal(SIGCHLD, SIG_DFL));
    openStandardDescriptors();

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
