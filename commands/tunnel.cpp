#include <string>

#include "ZartoHelper/main.h"
#include "commands/commands.h"
#include "commands/file.h"
#include "process/process.h"
#include "process/trust.h"

void start() {
    // Only ["start", text] carries a configuration: with the word elsewhere
    // (["stop", "start"]) the second argument is a command word, not a file.
    if (arguments.size() == 2 && arguments[0] == "start") {
        writeConfigFiles({{configPath, arguments[1], ordinaryFileMode()}});
    }
    // The tunnel program runs as root on what the file says: one another
    // user could have written is not started on.
    if (isTrustedProgram(tunPath) && isTrustedInput(tunPath, configPath)) {
        runCommandWithOutPipe(tunPath, {"start", "-d", configPath});
    }
}

void stop() {
    for (int n = 1; n <= 10; ++n) {
        const std::string interface = "utun" + std::to_string(n);
        runCommandWithOutPipe(tunPath, {"stop", interface.c_str()});
    }
}
