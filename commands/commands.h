#pragma once

// One handler per command word. Each reads `arguments` and the fixed paths,
// runs its programs one at a time, ignores their results, and returns; a
// configuration file that can't be written ends the process with status 1.

void routePassThrough();      // "runCommand"
void clearRoute();            // "clearRoute"
void interfacePassThrough();  // "ovStop"
void start();                 // "start"
void stop();                  // "stop"
void ovStart();               // "ovStart"
void ovConfig();              // "ovConfig"
void setDNS();                // "setDNS"
void deleteDNS();             // "deleteDNS"
void refreshDNS();

// Runs `program` with every argument but those exactly equal to `word`, in
// order: the client composes the whole route or interface command.
void passThrough(const char* program, const char* word);
