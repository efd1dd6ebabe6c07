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
    // Nor is it started on files another user could have written: its
    // configuration can run any script as root ("up"), and its credentials
    // would be theirs.
    if (!isTrustedProgram(ovPath) || !isTrustedInput(ovPath, ovConfigPath) ||
        !isTrustedInput(ovPath, ovAuthPath)) {
        return;
    }
    // Another call's ovConfig may be between its two files: OpenVPN starts
    // once both are in place. It reads them at its own pace, though, and
    // again on a reconnect: a write that comes after this can still land
    // between its two reads, which only the client can rule out.
    waitForWriters();
    const std::string commandLine = std::string(ovPath) + " --config " + ovConfigPath;
    shellNoPipe(commandLine.c_str());
}

void ovConfig() {
    if (arguments.size() != 3 || arguments[0] != "ovConfig") {
        return;
    }
    // Both files may hold secrets (private keys, a password): owner-only,
    // and written only while their folder is root's alone, sticky or not,
    // so no other user can take, move or swap either. Written as one word,
    // under the writers' lock and with signals held from the first
    // temporary file to the last rename, and ovStart waits for that lock.
    writeConfigFiles(
        {{ovConfigPath, arguments[1], secretFileMode}, {ovAuthPath, arguments[2], secretFileMode}});
}
