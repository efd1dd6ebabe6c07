#include <string>
#include <string_view>

#include "commands/commands.h"
#include "process/process.h"

namespace {

constexpr const char* networksetupPath = "/usr/sbin/networksetup";

// Every line of the listing is taken as a service name, unchanged: a line
// that names no service only makes one networksetup run fail, harmlessly.
// The one exception is a line holding a NUL, which no argument can carry:
// cut there, "Wi-Fi\0 (tether)" would set the DNS of Wi-Fi.
void setServersOfEveryService(bool reset) {
    const CommandResult services = runCommand(networksetupPath, {"-listallnetworkservices"});
    // The lines are views into the listing; an argument needs its own
    // terminated copy, made one service at a time.
    std::string service;
    for (const std::string_view line : services.output()) {
        if (line.find('\0') != std::string_view::npos) {
            continue;
        }
        service.assign(line);
        if (reset) {
            runCommand(networksetupPath, {"-setdnsservers", service.c_str(), "empty"});
        } else {
            runCommand(networksetupPath, {"-setdnsservers", service.c_str(), "8.8.8.8", "8.8.4.4"});
        }
    }
    refreshDNS();
}

}  // namespace

void setDNS() { setServersOfEveryService(false); }

void deleteDNS() { setServersOfEveryService(true); }

void refreshDNS() { shell("dscacheutil -flushcache"); }
