#pragma once

// Gives the helper what launchd gives a system daemon, whatever the user's
// session that started it left behind: no timer, signals at known
// dispositions, no descriptor but 0, 1 and 2 (opened on /dev/null where
// closed, and blocking), a daemon's limits and priority, root's identity
// when run as root, umask at most 022, and / as the working folder. Every
// child inherits this. The arguments, the standard streams themselves and
// the caller's session are kept.
//
// Called first thing in main, before anything opens a descriptor. Ends the
// process with status 1 and the helper's one report when root's identity or
// / can't be settled.
void startAsSystemDaemon();
