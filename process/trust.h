#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Whether root may start the program at `path`, which must be absolute.
//
// Root runs it with every right, so no one else may have been able to put
// it there. Walking the path from / as the kernel would, the first
// component at fault ends the walk and refuses the program:
// - every component, links included, is owned by root, so no link of
//   another user's is ever followed as root;
// - every folder on the way is writable by no group and no other user
//   unless it is sticky (like /Users/Shared, where only an entry's owner,
//   here root, can replace it); the folder that holds the program's own
//   name, and after a link there the folder the link leads into, not even
//   then: a sticky folder still lets anyone add a name that isn't there
//   yet, the program's or a file beside it;
// - the program is a regular file that no group and no other user may
//   write;
// - no component lies on a file system a user could have mounted (FUSE on
//   Linux; on macOS a volume mounted by another uid, or one that ignores
//   ownership), where owners and modes mean nothing;
// - on macOS no ACL entry on any of them lets another user change it;
// - a script's interpreter ("#!" line), and in turn its own, passes the
//   same rule, as far as the kernel would follow them.
//
// A path is checked once per run: what passed can be changed by root alone
// afterwards, and what failed stays refused. A refusal is reported once, as
// "ZartoHelper: not running PATH: COMPONENT REASON" on standard error (for
// an interpreter, "interpreter PATH: COMPONENT REASON"). A program missing
// behind components that all pass, or one the kernel could not resolve,
// is not trusted either, but silently: it could not be started anyway, and
// nothing was refused.
bool isTrustedProgram(const char* path);

// Whether `program`, which has passed isTrustedProgram, may be started on
// the file at `file`, which it will read as root: a configuration whose
// every directive (OpenVPN's "up" and "plugin" among them) it obeys. The
// file is judged by the program's rule, but for one thing: nothing there
// passes (the folder that would hold it is root's alone, so no one else
// can add it). A refusal is reported once, as "ZartoHelper: not running
// PROGRAM: COMPONENT REASON"; a file the kernel could not resolve refuses
// the program silently. Judged once per run, as a program is.
bool isTrustedInput(const char* program, const char* file);

// Why root must not create files in `folder`; "" when it may. It may only
// where no one else can add, move or swap a file there: every
// component root's, links followed only if root's, the folder itself
// root's alone even if sticky, on no file system a user mounted, with no
// ACL entry that lets another user change it. The reason is "COMPONENT
// REASON", or the system's text for a folder that isn't there or can't be
// resolved.
std::string folderDistrust(const std::string& folder);

// How a kernel reads a script's "#!" line, so that the program check
// follows the interpreters exec would start, and only those.
struct ShebangRules {
    std::size_t bytes;  // how much of the file exec reads
    int levels;         // how many interpreters it follows, one a script in turn
    bool xnu;           // xnu's reading of the line, or Linux's
};
// Linux (fs/binfmt_script.c, fs/exec.c): 256 bytes; the name ends at a
// space, tab, newline or NUL and must end within them; five levels.
inline constexpr ShebangRules linuxShebang{256, 5, false};
// xnu (exec_shell_imgact): 512 bytes; '#' ends the line as a newline does,
// and a line that doesn't end within them is no script exec runs; no
// interpreter may be a script itself.
inline constexpr ShebangRules xnuShebang{512, 1, true};
// The rules of the kernel this runs on.
#ifdef __APPLE__
inline constexpr ShebangRules hostShebang = xnuShebang;
#else
inline constexpr ShebangRules hostShebang = linuxShebang;
#endif

// What exec makes of `head`, a file's first bytes (all of them, when the
// file is shorter than rules.bytes): "" for a file that is no script, run
// as it is; the interpreter's name as the line gives it; nothing for a
// script exec would refuse to start.
std::optional<std::string> shebangInterpreter(std::string_view head, const ShebangRules& rules);

// The decisions behind the macOS branches, kept free of any macOS call so
// that every case runs on every platform. The values are Apple's (sys/acl.h,
// sys/mount.h); a build for macOS checks each against its header.
inline constexpr std::uint32_t aclAllowTag = 1;                      // ACL_EXTENDED_ALLOW
inline constexpr std::uint32_t aclDenyTag = 2;                       // ACL_EXTENDED_DENY
inline constexpr std::uint32_t aclOnlyInheritFlag = 1U << 8;         // ACL_ENTRY_ONLY_INHERIT
inline constexpr std::uint64_t aclReadDataRight = 1U << 1;           // ACL_READ_DATA, ACL_LIST_DIRECTORY
inline constexpr std::uint64_t aclWriteDataRight = 1U << 2;          // ACL_WRITE_DATA, ACL_ADD_FILE
inline constexpr std::uint64_t aclExecuteRight = 1U << 3;            // ACL_EXECUTE, ACL_SEARCH
inline constexpr std::uint64_t aclAppendDataRight = 1U << 5;         // ACL_APPEND_DATA, ACL_ADD_SUBDIRECTORY
inline constexpr std::uint64_t aclReadAttributesRight = 1U << 7;     // ACL_READ_ATTRIBUTES
inline constexpr std::uint64_t aclReadExtAttributesRight = 1U << 9;  // ACL_READ_EXTATTRIBUTES
inline constexpr std::uint64_t aclReadSecurityRight = 1U << 11;      // ACL_READ_SECURITY
inline constexpr std::uint64_t aclSynchronizeRight = 1U << 20;       // ACL_SYNCHRONIZE
inline constexpr std::uint64_t aclGenericAllRight = 1U << 21;        // KAUTH_ACE_GENERIC_ALL
inline constexpr std::uint64_t aclGenericExecuteRight = 1U << 22;    // KAUTH_ACE_GENERIC_EXECUTE
inline constexpr std::uint64_t aclGenericWriteRight = 1U << 23;      // KAUTH_ACE_GENERIC_WRITE
inline constexpr std::uint64_t aclGenericReadRight = 1U << 24;       // KAUTH_ACE_GENERIC_READ
inline constexpr std::uint32_t ignoreOwnershipFlag = 0x00200000;     // MNT_IGNORE_OWNERSHIP

// Whether an ACL entry (its tag and its flags) grants whoever it names
// anything on the component itself: an allow entry in force there. Deny
// entries only take rights away; an entry that is only inherited by what
// is created inside does not apply to the folder itself.
bool aclEntryAllows(std::uint32_t tag, std::uint32_t flags);

// Whether an ACL entry (its tag, its flags and its raw rights) lets whoever
// it names change a component: an entry that allows (see aclEntryAllows)
// anything beyond reading, listing, executing, searching, reading
// attributes, extended attributes or security, and synchronizing.
bool aclEntryLetsOthersChange(std::uint32_t tag, std::uint32_t flags, std::uint64_t rights);

// Why the ACL of the open file `fd`, a file only root should open, might
// let someone else open it: "has an ACL entry that lets another user open
// it" for any entry that allows anything (root needs none), or "has an ACL
// that can't be read"; "" when it has none. Read from the descriptor, so it
// is the file that was opened, whatever its name leads to since. "" where
// there are no such ACLs: on Linux a file's ACL entries are bounded by its
// mode's group bits.
std::string aclOpenDistrust(int fd);

// Why nothing on a volume mounted by `mountOwner` with these mount flags
// can be trusted ("is on a volume mounted by uid N", "is on a volume that
// ignores ownership"); "" when it can.
std::string volumeDistrust(uid_t mountOwner, std::uint32_t flags);
