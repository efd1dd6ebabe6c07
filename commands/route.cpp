#include <string>
#include <vector>

#include "ZartoHelper/main.h"
#include "commands/commands.h"
#include "process/process.h"

namespace {
constexpr const char* routePath = "/sbin/route";
}

void passThrough(const char* program, const char* word) {
    std::vector<std::string> args = arguments;
    std::erase(args, std::string(word));
    runCommandWithOutPipeWithArr(program, args);
}

void routePassThrough() { passThrough(routePath, "runCommand"); }

void clearRoute() {
    // 65,025 children one after another: the per-child cost here must stay
    // at building one short string.
    std::string gateway;
    for (int x = 1; x <= 255; ++x) {
        const std::string prefix = "10.32." + std::to_string(x) + ".";
        for (int y = 1; y <= 255; ++y) {
            gateway = prefix;
            gateway += std::to_string(y);
            runCommandWithOutPipe(routePath, {"delete", "-net", "0.0.0.0", gateway.c_str(), "0.0.0.0"});
        }
    }
}
