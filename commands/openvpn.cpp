#include <string>

#include "ZartoHelper/main.h"
#include "commands/commands.h"
#include "commands/file.h"
#include "process/process.h"

namespace {
constexpr const char* ifconfigPath = "/sbin/ifconfig";
}

void interfacePassThrough() { passThrough(ifconfigPath, "ovStop"); }

void ovStart() {
    const std::string commandLine = std::string(ovPath) + " --config " + ovConfigPath;
    shellNoPipe(commandLine.c_str());
}

void ovConfig() {
    if (arguments.size() != 3 || arguments[0] != "ovConfig") {
        return;
    }
    // Both files may hold secrets (private keys, a password) in a folder
    // under the world-writable /Users/Shared: owner-only.
    writeConfigFile(ovConfigPath, arguments[1], secretFileMode);
    writeConfigFile(ovAuthPath, arguments[2], secretFileMode);
}
