#include <string>

#include "ZartoHelper/main.h"
#include "commands/commands.h"
#include "commands/file.h"
#include "process/process.h"

void start() {
    // Only ["start", text] carries a configuration: with the word elsewhere
    // (["stop", "start"]) the second argument is a command word, not a file.
    if (arguments.size() == 2 && arguments[0] == "start") {
        writeConfigFiles({{configPath, arguments[1], ordinaryFileMode()}});
    }
    runCommandWithOutPipe(tunPath, {"start", "-d", configPath});
}

void stop() {
    for (int n = 1; n <= 10; ++n) {
        const std::string interface = "utun" + std::to_string(n);
        runCommandWithOutPipe(tunPath, {"stop", interface.c_str()});
    }
}
