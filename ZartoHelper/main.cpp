#include "ZartoHelper/main.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ZartoHelper/daemon.h"
#include "commands/commands.h"
#include "process/report.h"
#include "process/text.h"

std::vector<std::string> arguments;

bool isCommand(const std::vector<std::string>& args, const char* word) {
    return std::find(args.begin(), args.end(), word) != args.end();
}

void exitWithReport(const std::string& what, const std::string& reason) {
    report(what, reason);
    std::exit(1);
}

void exitWithError(const std::string& what, int error) { exitWithReport(what, std::strerror(error)); }

int main(int argc, char* argv[]) {
    // Memory a caller's hard limit keeps from us is a failure like any
    // other, wherever it comes: one line and status 1, not bad_alloc's
    // std::terminate and SIGABRT.
    std::set_new_handler(exitOutOfMemory);
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
