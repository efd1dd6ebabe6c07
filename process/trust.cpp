#include "process/trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/acl.h>
#include <sys/kauth.h>
#include <sys/mount.h>
#include <sys/param.h>
#else
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "process/fd.h"
#include "process/report.h"

#ifdef __APPLE__
static_assert(aclAllowTag == ACL_EXTENDED_ALLOW && aclDenyTag == ACL_EXTENDED_DENY);
static_assert(aclOnlyInheritFlag == ACL_ENTRY_ONLY_INHERIT);
static_assert(aclReadDataRight == ACL_READ_DATA && aclReadDataRight == ACL_LIST_DIRECTORY);
static_assert(aclWriteDataRight == ACL_WRITE_DATA && aclWriteDataRight == ACL_ADD_FILE);
static_assert(aclExecuteRight == ACL_EXECUTE && aclExecuteRight == ACL_SEARCH);
static_assert(aclAppendDataRight == ACL_APPEND_DATA && aclAppendDataRight == ACL_ADD_SUBDIRECTORY);
static_assert(aclReadAttributesRight == ACL_READ_ATTRIBUTES);
static_assert(aclReadExtAttributesRight == ACL_READ_EXTATTRIBUTES);
static_assert(aclReadSecurityRight == ACL_READ_SECURITY);
static_assert(aclSynchronizeRight == ACL_SYNCHRONIZE);
static_assert(aclGenericAllRight == KAUTH_ACE_GENERIC_ALL);
static_assert(aclGenericExecuteRight == KAUTH_ACE_GENERIC_EXECUTE);
static_assert(aclGenericWriteRight == KAUTH_ACE_GENERIC_WRITE);
static_assert(aclGenericReadRight == KAUTH_ACE_GENERIC_READ);
static_assert(ignoreOwnershipFlag == MNT_IGNORE_OWNERSHIP);
#endif

bool aclEntryLetsOthersChange(std::uint32_t tag, std::uint32_t flags, std::uint64_t rights) {
    // Rights that only look. Everything else changes something: data,
    // entries, attributes, the ACL, the owner; generic write and generic
    // all grant write.
    constexpr std::uint64_t readRights = aclReadDataRight | aclExecuteRight | aclReadAttributesRight |
                                         aclReadExtAttributesRight | aclReadSecurityRight |
                                         aclSynchronizeRight | aclGenericReadRight | aclGenericExecuteRight;
    return tag == aclAllowTag && (flags & aclOnlyInheritFlag) == 0 && (rights & ~readRights) != 0;
}

std::string volumeDistrust(uid_t mountOwner, std::uint32_t flags) {
    // A user may mount a disk image or their own file system on a folder
    // they own, with files that claim to be root's.
    if (mountOwner != 0) {
        return "is on a volume mounted by uid " + std::to_string(mountOwner);
    }
    // Its owners and modes are made up at each look (external disks, by
    // default): 0755 root proves nothing there.
    if ((flags & ignoreOwnershipFlag) != 0) {
        return "is on a volume that ignores ownership";
    }
    return {};
}

namespace {

// The kernel's own bound on links in one lookup (MAXSYMLINKS on macOS is 32,
// Linux's 40): past it exec fails with ELOOP anyway.
constexpr int maxLinks = 32;

// How many interpreters exec follows, a script's interpreter being a script
// in turn: Linux allows four levels, xnu none beyond the first.
#ifdef __APPLE__
constexpr int maxInterpreters = 1;
#else
constexpr int maxInterpreters = 4;
#endif

// What exec reads of a file to find its "#!" line (Linux 256 bytes, xnu
// 512): an interpreter's name that doesn't end within it is no name exec
// would take.
constexpr std::size_t shebangBytes = 512;

#ifndef __APPLE__
// FUSE_SUPER_MAGIC: any user may mount a FUSE file system on a folder of
// theirs, and it shows whatever owner and mode it likes.
constexpr long fuseMagic = 0x65735546;
#endif

std::string writableBy(mode_t mode) {
    if ((mode & S_IWOTH) != 0) {
        return "is writable by others";
    }
    if ((mode & S_IWGRP) != 0) {
        return "is writable by group";
    }
    return {};
}

// The file system of a component that is no link (a link lies on its
// folder's, already looked at; statfs would follow it).
std::string fileSystemDistrust(const std::string& component) {
    struct statfs fs {};
    if (statfs(component.c_str(), &fs) != 0) {
        return std::string("is on a file system that can't be looked at: ") + std::strerror(errno);
    }
#ifdef __APPLE__
    return volumeDistrust(fs.f_owner, fs.f_flags);
#else
    return static_cast<long>(fs.f_type) == fuseMagic ? "is on a FUSE file system" : "";
#endif
}

#ifdef __APPLE__
// macOS checks ACL entries before the mode bits, so 0755 root:wheel proves
// nothing while an entry lets "everyone" write. No ACL at all reads as
// ENOENT, and a volume without ACLs as ENOTSUP; any other failure leaves it
// unknown, which is a refusal.
std::string aclDistrust(const std::string& component) {
    const acl_t acl = acl_get_link_np(component.c_str(), ACL_TYPE_EXTENDED);
    if (acl == nullptr) {
        return errno == ENOENT || errno == ENOTSUP || errno == EOPNOTSUPP ? ""
                                                                          : "has an ACL that can't be read";
    }
    std::string reason;
    acl_entry_t entry = nullptr;
    for (int which = ACL_FIRST_ENTRY; reason.empty() && acl_get_entry(acl, which, &entry) == 0;
         which = ACL_NEXT_ENTRY) {
        acl_tag_t tag = ACL_UNDEFINED_TAG;
        acl_flagset_t flagset = nullptr;
        acl_permset_mask_t rights = 0;
        int onlyInherit = -1;
        if (acl_get_tag_type(entry, &tag) != 0 || acl_get_flagset_np(entry, &flagset) != 0 ||
            (onlyInherit = acl_get_flag_np(flagset, ACL_ENTRY_ONLY_INHERIT)) < 0 ||
            acl_get_permset_mask_np(entry, &rights) != 0) {
            reason = "has an ACL that can't be read";
        } else if (aclEntryLetsOthersChange(static_cast<std::uint32_t>(tag),
                                            onlyInherit == 1 ? aclOnlyInheritFlag : 0, rights)) {
            reason = "has an ACL entry that lets another user change it";
        }
    }
    acl_free(acl);
    return reason;
}
#endif

// Why `st`, the status of `component`, would let someone other than root
// change what the path leads to; "" when nothing does. A link's own mode
// means nothing (a link can't be rewritten, only replaced through its
// folder), but its owner may remove it where the folder is sticky.
std::string distrust(const std::string& component, const struct stat& st, bool program) {
    if (st.st_uid != 0) {
        return "is owned by uid " + std::to_string(st.st_uid);
    }
    if (program && !S_ISREG(st.st_mode)) {
        return "is not a regular file";
    }
    const bool link = S_ISLNK(st.st_mode);
    const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
    if (!link && !sticky) {
        if (std::string reason = writableBy(st.st_mode); !reason.empty()) {
            return reason;
        }
    }
    if (!link) {
        if (std::string reason = fileSystemDistrust(component); !reason.empty()) {
            return reason;
        }
    }
#ifdef __APPLE__
    return aclDistrust(component);
#else
    return {};
#endif
}

enum class Verdict {
    trusted,       // every component passed
    refused,       // a component another user could have changed
    missing,       // behind components that all pass, nothing is there
    unresolvable,  // nothing exec could start: a relative name, a link loop
};

struct Judgement {
    Verdict verdict;
    std::string reason;    // refused: "COMPONENT REASON"
    std::string resolved;  // trusted: the path with every link resolved
};

Judgement refusal(const std::string& component, const std::string& reason) {
    return {Verdict::refused, component + ' ' + reason, {}};
}

// A verdict that carries nothing else: missing or not resolvable.
Judgement nothingToRun(Verdict verdict) { return {verdict, {}, {}}; }

// Resolves `path` one component at a time with lstat, as exec would, and
// judges each before going on: the folder a component lies in has already
// passed, so no one but root can swap it between the two looks. The first
// fault ends the walk; nothing behind it is looked at, let alone followed.
Judgement walk(const std::string& path) {
    std::string reached;  // resolved and judged so far; "" is /
    const auto named = [&reached] { return reached.empty() ? std::string("/") : reached; };
    std::string rest = path;
    int links = 0;
    struct stat st {};
    // Every program is named from /; a relative name would be judged
    // against whatever folder this happens to be in.
    if (rest.empty() || rest.front() != '/' || lstat("/", &st) != 0) {
        return nothingToRun(Verdict::unresolvable);
    }
    if (std::string reason = distrust("/", st, false); !reason.empty()) {
        return refusal("/", reason);
    }
    const mode_t rootMode = st.st_mode;
    mode_t folderMode = rootMode;  // of `reached`
    for (;;) {
        const std::size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos) {
            // Only a path that named no file at all ends here ("/" itself).
            return nothingToRun(Verdict::unresolvable);
        }
        const std::size_t end = rest.find('/', start);
        const std::string name = rest.substr(start, end - start);
        rest.erase(0, end == std::string::npos ? rest.size() : end);
        const bool last = rest.find_first_not_of('/') == std::string::npos;
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            // Back into a folder already judged on the way here.
            reached.erase(reached.empty() ? 0 : reached.rfind('/'));
            if (lstat(named().c_str(), &st) != 0) {
                return nothingToRun(Verdict::unresolvable);
            }
            folderMode = st.st_mode;
            continue;
        }
        // The folder that holds the program: sticky, it would still let any
        // user add a program that isn't there yet, or the files beside it
        // that the program reads.
        if (last) {
            if (std::string reason = writableBy(folderMode); !reason.empty()) {
                return refusal(named(), reason);
            }
        }
        std::string component = reached;
        component += '/';
        component += name;
        if (lstat(component.c_str(), &st) != 0) {
            return nothingToRun(errno == ENOENT || errno == ENOTDIR ? Verdict::missing
                                                                    : Verdict::unresolvable);
        }
        const bool link = S_ISLNK(st.st_mode);
        if (std::string reason = distrust(component, st, last && !link); !reason.empty()) {
            return refusal(component, reason);
        }
        if (link) {
            if (++links > maxLinks) {
                return nothingToRun(Verdict::unresolvable);
            }
            std::string target(PATH_MAX, '\0');
            const ssize_t length = readlink(component.c_str(), target.data(), target.size());
            if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
                return nothingToRun(Verdict::unresolvable);
            }
            target.resize(static_cast<std::size_t>(length));
            // Its target is read in the folder that holds the link, or
            // from / again.
            if (target.front() == '/') {
                reached.clear();
                folderMode = rootMode;
            }
            target.insert(0, 1, '/');
            rest.insert(0, target);
            continue;
        }
        if (last) {
            return {Verdict::trusted, {}, component};
        }
        reached = component;
        folderMode = st.st_mode;
    }
}

// The interpreter that exec would start for the file at `resolved`: its
// "#!" line's first word, "" for a file that is no script, nothing when it
// can't be read or its line names no interpreter exec would take. Read through a
// descriptor that follows no link, on the path whose every component passed.
std::optional<std::string> interpreterOf(const std::string& resolved) {
    const Fd fd(open(resolved.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        return std::nullopt;
    }
    std::string head(shebangBytes, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = read(fd.get(), head.data() + got, head.size() - got);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        got += static_cast<std::size_t>(n);
    }
    head.resize(got);
    if (!head.starts_with("#!")) {
        return std::string();
    }
    const std::size_t start = head.find_first_not_of(" \t", 2);
    if (start == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t end = head.find_first_of(std::string_view(" \t\n\0", 4), start);
    if ((end == std::string::npos && got == shebangBytes) || end == start) {
        return std::nullopt;
    }
    std::string interpreter = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // A relative name is looked up from the working folder of the program
    // started, which is / for every child.
    if (interpreter.front() != '/') {
        interpreter.insert(0, 1, '/');
    }
    return interpreter;
}

// The program at `path`, then each interpreter that exec would run for it.
Judgement judge(const char* path) {
    std::string program = path;
    for (int level = 0;; ++level) {
        Judgement judgement = walk(program);
        if (judgement.verdict != Verdict::trusted) {
            if (level > 0 && judgement.verdict == Verdict::refused) {
                judgement.reason.insert(0, "interpreter " + program + ": ");
            }
            return judgement;
        }
        std::optional<std::string> interpreter = interpreterOf(judgement.resolved);
        if (interpreter && interpreter->empty()) {
            return judgement;
        }
        // A "#!" line exec would refuse, one more level than it follows, or
        // a file whose first bytes can't be read: whether root would run
        // something else can't be told.
        if (!interpreter || level == maxInterpreters) {
            return nothingToRun(Verdict::unresolvable);
        }
        program = std::move(*interpreter);
    }
}

}  // namespace

bool isTrustedProgram(const char* path) {
    // A handful of programs per run, the route sweep's 65,025 runs of one
    // among them: a look-up here, one walk per path.
    static std::vector<std::pair<std::string, bool>> judged;
    for (const auto& [known, trusted] : judged) {
        if (known == path) {
            return trusted;
        }
    }
    const Judgement judgement = judge(path);
    if (judgement.verdict == Verdict::refused) {
        report(std::string("not running ") + path, judgement.reason);
    }
    const bool trusted = judgement.verdict == Verdict::trusted;
    judged.emplace_back(path, trusted);
    return trusted;
}
