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
    // Another call's ovConfig may be between its two files: OpenVPN starts
    // once both are in place, never on c.ovpn of one call and a.dat of the
    // last.
    waitForWriters();
    const std::string commandLine = std::string(ovPath) + " --config " + ovConfigPath;
    shellNoPipe(commandLine.c_str());
}

void ovConfig() {
    if (arguments.size() != 3 || arguments[0] != "ovConfig") {
        return;
    }
    // Both files may hold secrets (private keys, a password): owner-only.
    // They lie in the folder that holds OpenVPN, which root runs only while
    // that folder is root's alone, sticky or not, so no other user can have
    // put either file there first or can swap it afterwards. Written as one
    // word, under the writers' lock and with signals held from the first
    // temporary file to the last rename, and ovStart waits for that lock:
    // OpenVPN never gets the credentials of another call's configuration.
    writeConfigFiles(
        {{ovConfigPath, arguments[1], secretFileMode}, {ovAuthPath, arguments[2], secretFileMode}});
}
