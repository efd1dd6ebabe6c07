#include <string>

#include "ZartoHelper/main.h"
#include "commands/commands.h"
#include "commands/file.h"
#include "process/process.h"
#include "process/trust.h"

namespace {
constexpr const char* ifconfigPath = "/sbin/ifconfig";
}

void interfacePassThrough() { passThrough(ifconfigPath, "ovStop"); }

void ovStart() {
    // bash is root's and passes its own check; the program it is asked to
    // run must pass it too, before bash is started. One that isn't there
    // isn't started either: bash could only fail to find it.
    if (!isTrustedProgram(ovPath)) {
        return;
    }
    const std::string commandLine = std::string(ovPath) + " --config " + ovConfigPath;
    shellNoPipe(commandLine.c_str());
}

void ovConfig() {
    if (arguments.size() != 3 || arguments[0] != "ovConfig") {
        return;
    }
    // Both files may hold secrets (private keys, a password) in a folder
    // under the world-writable /Users/Shared: owner-only. Written as one, so
    // OpenVPN never gets the credentials of another call's configuration.
    writeConfigFiles(
        {{ovConfigPath, arguments[1], secretFileMode}, {ovAuthPath, arguments[2], secretFileMode}});
}
