#pragma once

// Whether root may start the program at `path`, which must be absolute.
//
// Root runs it with every right, so no one else may have been able to put
// it there: walking the path from / as the kernel would, every component,
// links included, is owned by root; every folder on the way, before and
// after each link, is writable by no group and no other user unless it is
// sticky (like /Users/Shared, where only an entry's owner, here root, can
// replace it); the program is a regular file that no group and no other
// user may write; and on macOS no ACL entry on any of them allows another
// user a write-class right.
//
// A path is checked once per run: what passed can be changed by root alone
// afterwards, and what failed stays refused. A refusal is reported once, as
// "ZartoHelper: not running PATH: COMPONENT REASON" on standard error. A
// program that isn't there is not trusted either, but silently: it could
// not be started anyway, and nothing was refused.
bool isTrustedProgram(const char* path);
