// The dispatch decision: which handlers run, in which order, with which
// argument vectors, and which files are written, for any argument list. The
// helper's own dispatch and handlers run unchanged (main built as zartoMain);
// the runners and the file writer are replaced at link time by recorders,
// so nothing is started or written, the program and file checks by a yes,
// and the daemon's start (which would close libFuzzer's descriptors) by
// nothing.
// The expectation is built from the reference decoder and the rules as the
// README states them.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ZartoHelper/daemon.h"
#include "ZartoHelper/main.h"
#include "commands/file.h"
#include "process/process.h"
#include "process/trust.h"
#include "tests/fuzz/reference.h"

int zartoMain(int argc, char* argv[]);

namespace {

using Trace = std::vector<std::vector<std::string>>;
Trace trace;
int sweepRuns = 0;  // 65,025 route deletions are counted, not listed

using namespace std::string_literals;
// The line with a NUL is one no argument can carry: it must be skipped.
const std::vector<std::string> services = {"Wi-Fi", "", "Wi-Fi\0 (tether)"s, "USB 10/100 LAN"};

void record(std::vector<std::string> event) {
    if (event.size() == 7 && event[1] == "/sbin/route" && event[2] == "delete") {
        const int x = sweepRuns / 255 + 1;
        const int y = sweepRuns % 255 + 1;
        const std::vector<std::string> next = {
            "run",    "/sbin/route", "delete",
            "-net",   "0.0.0.0",     "10.32." + std::to_string(x) + "." + std::to_string(y),
            "0.0.0.0"};
        if (event == next && ++sweepRuns < 65025) return;
        if (event == next) event = {"sweep"};
    }
    trace.push_back(std::move(event));
}

std::vector<std::string> event(const char* kind, const char* cmd, std::initializer_list<const char*> args) {
    std::vector<std::string> e = {kind, cmd};
    e.insert(e.end(), args.begin(), args.end());
    return e;
}

}  // namespace

std::int32_t runCommandWithOutPipe(const char* cmd, std::initializer_list<const char*> args) {
    record(event("run", cmd, args));
    return 0;
}

std::int32_t runCommandWithOutPipeWithArr(const char* cmd, const std::vector<std::string>& args) {
    std::vector<std::string> e = {"run", cmd};
    e.insert(e.end(), args.begin(), args.end());
    record(e);
    return 0;
}

CommandResult runCommand(const char* cmd, std::initializer_list<const char*> args) {
    record(event("capture", cmd, args));
    CommandResult result;
    if (args.size() == 1) result.keepOutput(Lines(services.begin(), services.end()), Capture());
    return result;
}

std::string shell(const char* commandLine) {
    record({"shell", commandLine});
    return {};
}

void shellNoPipe(const char* commandLine) { record({"background", commandLine}); }

void startAsSystemDaemon() {}

mode_t ordinaryFileMode() { return 0644; }

void writeConfigFiles(std::initializer_list<ConfigFile> files) {
    for (const ConfigFile& file : files) {
        record({"write", file.path, std::string(file.text), std::to_string(file.mode)});
    }
}

// Nothing else writes here: ovStart has no one to wait for.
void waitForWriters() {}

// Every program and file is trusted here: which ones are is the sandbox's
// to show.
bool isTrustedProgram(const char* /*path*/) { return true; }
bool isTrustedInput(const char* /*program*/, const char* /*file*/) { return true; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Arguments are the input split at NUL bytes, as no argument can hold one.
    std::vector<std::string> raw(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            raw.emplace_back();
        } else {
            raw.back() += static_cast<char>(data[i]);
        }
    }
    if (size == 0) raw.clear();
    if (raw.size() > 12) return -1;

    std::vector<std::string> args;
    for (const std::string& r : raw) {
        bool valid = false;
        args.push_back(reference::encode(reference::decode(r, valid)));
    }
    const auto has = [&](const std::string& w) {
        return std::find(args.begin(), args.end(), w) != args.end();
    };
    const auto without = [&](const char* kind, const char* cmd, const std::string& w) {
        std::vector<std::string> e = {kind, cmd};
        std::copy_if(args.begin(), args.end(), std::back_inserter(e),
                     [&](const std::string& a) { return a != w; });
        return e;
    };
    const std::string conf = "/Users/Shared/Zarto/zarto.conf";
    const std::string tun = "/Users/Shared/Zarto/ZartoProvider";
    const std::string netsetup = "/usr/sbin/networksetup";
    Trace expected;
    if (has("runCommand")) expected.push_back(without("run", "/sbin/route", "runCommand"));
    if (has("ovStop")) expected.push_back(without("run", "/sbin/ifconfig", "ovStop"));
    if (has("start")) {
        if (args.size() == 2 && args[0] == "start") expected.push_back({"write", conf, args[1], "420"});
        expected.push_back({"run", tun, "start", "-d", conf});
    }
    if (has("stop")) {
        for (int n = 1; n <= 10; ++n) expected.push_back({"run", tun, "stop", "utun" + std::to_string(n)});
    }
    if (has("clearRoute")) expected.push_back({"sweep"});
    if (has("ovStart")) {
        expected.push_back(
            {"background", "/Users/Shared/Zarto/OVHelper --config /Users/Shared/Zarto/c.ovpn"});
    }
    if (has("ovConfig") && args.size() == 3 && args[0] == "ovConfig") {
        expected.push_back({"write", "/Users/Shared/Zarto/c.ovpn", args[1], "384"});
        expected.push_back({"write", "/Users/Shared/Zarto/a.dat", args[2], "384"});
    }
    for (const char* word : {"setDNS", "deleteDNS"}) {
        if (!has(word)) continue;
        expected.push_back({"capture", netsetup, "-listallnetworkservices"});
        for (const std::string& s : services) {
            if (s.find('\0') != std::string::npos) continue;
            if (std::string(word) == "setDNS") {
                expected.push_back({"capture", netsetup, "-setdnsservers", s, "8.8.8.8", "8.8.4.4"});
            } else {
                expected.push_back({"capture", netsetup, "-setdnsservers", s, "empty"});
            }
        }
        expected.push_back({"shell", "dscacheutil -flushcache"});
    }

    std::vector<char*> argv = {const_cast<char*>("ZartoHelper")};
    for (std::string& r : raw) argv.push_back(r.data());
    argv.push_back(nullptr);
    trace.clear();
    sweepRuns = 0;
    arguments.clear();
    const int status = zartoMain(static_cast<int>(argv.size() - 1), argv.data());
    if (status != 0 || trace != expected || arguments != args) std::abort();
    return 0;
}
