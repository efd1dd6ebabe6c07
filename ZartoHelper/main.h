#pragma once

#include <string>
#include <vector>

// The command-line arguments without the program path, decoded as UTF-8.
// Built once by main before any command word is tested; read-only after.
extern std::vector<std::string> arguments;

// Everything the helper touches in the client's shared folder. The folder
// and the two programs must already be there; the helper only writes the
// three configuration files.
inline constexpr const char* tunPath = "/Users/Shared/Zarto/ZartoProvider";
inline constexpr const char* configPath = "/Users/Shared/Zarto/zarto.conf";
inline constexpr const char* ovPath = "/Users/Shared/Zarto/OVHelper";
inline constexpr const char* ovConfigPath = "/Users/Shared/Zarto/c.ovpn";
inline constexpr const char* ovAuthPath = "/Users/Shared/Zarto/a.dat";

// True when some argument is exactly `word`. Whole-argument matching: a
// configuration text that merely mentions a word must never trigger it.
bool isCommand(const std::vector<std::string>& args, const char* word);

// The helper's report, "ZartoHelper: WHAT: REASON" on standard error, then
// exit status 1. For what must not be carried on from: a configuration
// file that can't be written, an identity or a working folder that can't be
// settled. exitWithError gives the reason as the system's text for `error`.
[[noreturn]] void exitWithReport(const std::string& what, const std::string& reason);
[[noreturn]] void exitWithError(const std::string& what, int error);
