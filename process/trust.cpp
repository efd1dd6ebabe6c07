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

#include <algorithm>
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

bool aclEntryAllows(std::uint32_t tag, std::uint32_t flags) {
    return tag == aclAllowTag && (flags & aclOnlyInheritFlag) == 0;
}

bool aclEntryLetsOthersChange(std::uint32_t tag, std::uint32_t flags, std::uint64_t rights) {
    // Rights that only look. Everything else changes something: data,
    // entries, attributes, the ACL, the owner; generic write and generic
    // all grant write.
    constexpr std::uint64_t readRights = aclReadDataRight | aclExecuteRight | aclReadAttributesRight |
                                         aclReadExtAttributesRight | aclReadSecurityRight |
                                         aclSynchronizeRight | aclGenericReadRight | aclGenericExecuteRight;
    return aclEntryAllows(tag, flags) && (rights & ~readRights) != 0;
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
// An ACL entry's fault, judged from its tag, flags and raw rights.
using AclEntryFault = bool (*)(std::uint32_t tag, std::uint32_t flags, std::uint64_t rights);

// `reason` for the first entry of `acl` at fault, `acl` being what an ACL
// read just gave (and what is freed here). macOS checks ACL entries before
// the mode bits, so 0755 root:wheel proves nothing while an entry lets
// "everyone" write. No ACL at all reads as ENOENT, and a volume without
// ACLs as ENOTSUP; ENOMEM (the read allocates the ACL it gives) is the
// helper short of memory, which ends it as anywhere else; any other failure
// leaves it unknown, which is a refusal.
std::string aclDistrust(acl_t acl, AclEntryFault faulty, const char* reason) {
    if (acl == nullptr) {
        if (errno == ENOMEM) {
            exitOutOfMemory();
        }
        return errno == ENOENT || errno == ENOTSUP || errno == EOPNOTSUPP ? ""
                                                                          : "has an ACL that can't be read";
    }
    std::string fault;
    acl_entry_t entry = nullptr;
    for (int which = ACL_FIRST_ENTRY; fault.empty() && acl_get_entry(acl, which, &entry) == 0;
         which = ACL_NEXT_ENTRY) {
        acl_tag_t tag = ACL_UNDEFINED_TAG;
        acl_flagset_t flagset = nullptr;
        acl_permset_mask_t rights = 0;
        int onlyInherit = -1;
        if (acl_get_tag_type(entry, &tag) != 0 || acl_get_flagset_np(entry, &flagset) != 0 ||
            (onlyInherit = acl_get_flag_np(flagset, ACL_ENTRY_ONLY_INHERIT)) < 0 ||
            acl_get_permset_mask_np(entry, &rights) != 0) {
            fault = "has an ACL that can't be read";
        } else if (faulty(static_cast<std::uint32_t>(tag), onlyInherit == 1 ? aclOnlyInheritFlag : 0,
                          rights)) {
            fault = reason;
        }
    }
    acl_free(acl);
    return fault;
}
#endif

// What a component must be to pass.
enum class Need {
    passage,  // a folder or link on the way: sticky, a folder may be open to all
    file,     // the last one: a regular file
    folder,   // the last one: a folder no one else may add to, sticky or not
};

// Why `st`, the status of `component`, would let someone other than root
// change what the path leads to; "" when nothing does. A link's own mode
// means nothing (a link can't be rewritten, only replaced through its
// folder), but its owner may remove it where the folder is sticky.
std::string distrust(const std::string& component, const struct stat& st, Need need) {
    if (st.st_uid != 0) {
        return "is owned by uid " + std::to_string(st.st_uid);
    }
    if (need == Need::file && !S_ISREG(st.st_mode)) {
        return "is not a regular file";
    }
    if (need == Need::folder && !S_ISDIR(st.st_mode)) {
        return "is not a folder";
    }
    const bool link = S_ISLNK(st.st_mode);
    const bool sticky = need == Need::passage && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
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
    // Read without following a link: a link's own entries are judged.
    return aclDistrust(acl_get_link_np(component.c_str(), ACL_TYPE_EXTENDED), aclEntryLetsOthersChange,
                       "has an ACL entry that lets another user change it");
#else
    return {};
#endif
}

enum class Verdict {
    trusted,       // every component passed
    refused,       // a component another user could have changed
    missing,       // nothing there, in a folder where only root could add it
    unresolvable,  // nothing the kernel would open: a relative name, a link
                   // loop, a name absent where others could still add it
};

struct Judgement {
    Verdict verdict;
    std::string reason;    // refused: "COMPONENT REASON"
    std::string resolved;  // trusted: the path with every link resolved
    int error;             // missing, unresolvable: the errno the kernel would give
};

Judgement refusal(const std::string& component, const std::string& reason) {
    return {Verdict::refused, component + ' ' + reason, {}, 0};
}

// A verdict with nothing there to run, read or write into.
Judgement nothingThere(Verdict verdict, int error) { return {verdict, {}, {}, error}; }

// What the path's last component is to be.
enum class Kind {
    file,    // a program or a file a program reads, in a folder root's alone
    folder,  // a folder root writes into
};

// Resolves `path` one component at a time with lstat, as the kernel would,
// and judges each before going on: the folder a component lies in has
// already passed, so no one but root can swap it between the two looks.
// The first fault ends the walk; nothing behind it is looked at, let alone
// followed.
Judgement walk(const std::string& path, Kind kind) {
    std::string reached;  // resolved and judged so far; "" is /
    const auto named = [&reached] { return reached.empty() ? std::string("/") : reached; };
    std::string rest = path;
    int links = 0;
    struct stat st {};
    // Every path is named from /; a relative name would be judged against
    // whatever folder this happens to be in.
    if (rest.empty() || rest.front() != '/') {
        return nothingThere(Verdict::unresolvable, EINVAL);
    }
    if (lstat("/", &st) != 0) {
        return nothingThere(Verdict::unresolvable, errno);
    }
    if (std::string reason = distrust("/", st, Need::passage); !reason.empty()) {
        return refusal("/", reason);
    }
    const mode_t rootMode = st.st_mode;
    mode_t folderMode = rootMode;  // of `reached`
    for (;;) {
        const std::size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos) {
            // Only a path that named nothing but / ends here.
            return nothingThere(Verdict::unresolvable, EINVAL);
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
                return nothingThere(Verdict::unresolvable, errno);
            }
            folderMode = st.st_mode;
            continue;
        }
        // The folder that holds the file: sticky, it would still let any
        // user add a file that isn't there yet, or the files beside it.
        if (last && kind == Kind::file) {
            if (std::string reason = writableBy(folderMode); !reason.empty()) {
                return refusal(named(), reason);
            }
        }
        std::string component = reached;
        component += '/';
        component += name;
        if (lstat(component.c_str(), &st) != 0) {
            const int error = errno;
            // Absent for good only where no one else can add it.
            const bool keptAbsent = (error == ENOENT || error == ENOTDIR) && writableBy(folderMode).empty();
            return nothingThere(keptAbsent ? Verdict::missing : Verdict::unresolvable, error);
        }
        const bool link = S_ISLNK(st.st_mode);
        const Need need = !last || link ? Need::passage : kind == Kind::folder ? Need::folder : Need::file;
        if (std::string reason = distrust(component, st, need); !reason.empty()) {
            return refusal(component, reason);
        }
        if (link) {
            if (++links > maxLinks) {
                return nothingThere(Verdict::unresolvable, ELOOP);
            }
            std::string target(PATH_MAX, '\0');
            const ssize_t length = readlink(component.c_str(), target.data(), target.size());
            if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
                return nothingThere(Verdict::unresolvable, length < 0 ? errno : ENAMETOOLONG);
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
            return {Verdict::trusted, {}, component, 0};
        }
        reached = component;
        folderMode = st.st_mode;
    }
}

// The interpreter that exec would start for the file at `resolved` (see
// shebangInterpreter), read through a descriptor that follows no link, on
// the path whose every component passed. Nothing when the file can't be
// read.
std::optional<std::string> interpreterOf(const std::string& resolved) {
    const Fd fd(open(resolved.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        return std::nullopt;
    }
    std::string head(hostShebang.bytes, '\0');
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
    std::optional<std::string> interpreter = shebangInterpreter(head, hostShebang);
    // A relative name is looked up from the working folder of the program
    // started, which is / for every child.
    if (interpreter && !interpreter->empty() && interpreter->front() != '/') {
        interpreter->insert(0, 1, '/');
    }
    return interpreter;
}

// The program at `path`, then each interpreter that exec would run for it.
Judgement judge(const char* path) {
    std::string program = path;
    for (int level = 0;; ++level) {
        Judgement judgement = walk(program, Kind::file);
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
        if (!interpreter || level == hostShebang.levels) {
            return nothingThere(Verdict::unresolvable, ENOEXEC);
        }
        program = std::move(*interpreter);
    }
}

// A handful of paths per run, the route sweep's 65,025 runs of one among
// them: a look-up here, one judgement per path. What passed can be changed
// by root alone afterwards, and what failed stays refused.
template <typename Judge>
bool judgedOnce(std::vector<std::pair<std::string, bool>>& judged, const char* path, Judge judgeNow) {
    for (const auto& [known, trusted] : judged) {
        if (known == path) {
            return trusted;
        }
    }
    const bool trusted = judgeNow();
    judged.emplace_back(path, trusted);
    return trusted;
}

// Linux's reading of a "#!" line in its 256-byte buffer.
std::optional<std::string> linuxInterpreter(const std::string& buffer) {
    constexpr std::string_view ends(" \t\0", 3);
    // A line that runs past the buffer is taken only where the name ends
    // within it; the buffer's last byte is then dropped.
    std::size_t lineEnd = buffer.find('\n');
    if (lineEnd == std::string::npos) {
        const std::size_t name = buffer.find_first_not_of(" \t", 2);
        if (name == std::string::npos || buffer.find_first_of(ends, name) == std::string::npos) {
            return std::nullopt;
        }
        lineEnd = buffer.size() - 1;
    }
    const std::string_view line(buffer.data(), lineEnd);
    const std::size_t start = line.find_first_not_of(" \t", 2);
    if (start == std::string_view::npos || line[start] == '\0') {
        return std::nullopt;
    }
    const std::size_t end = line.find_first_of(ends, start);
    return std::string(line.substr(start, end == std::string_view::npos ? end : end - start));
}

// xnu's reading of a "#!" line in its 512-byte buffer: '#' ends the line as
// a newline does, and a line that doesn't end within the buffer is no
// script. The name is then used as a C string, so a NUL cuts it short.
std::optional<std::string> xnuInterpreter(const std::string& buffer) {
    const std::size_t start = buffer.find_first_not_of(" \t", 2);
    if (start == std::string::npos || buffer[start] == '\n' || buffer[start] == '#') {
        return std::nullopt;
    }
    const std::size_t lineEnd = buffer.find_first_of("\n#", start);
    if (lineEnd == std::string::npos) {
        return std::nullopt;
    }
    std::string name = buffer.substr(start, lineEnd - start);
    name.resize(std::min(name.find_first_of(std::string_view(" \t\0", 3)), name.size()));
    if (name.empty()) {
        return std::nullopt;
    }
    return name;
}

}  // namespace

std::optional<std::string> shebangInterpreter(std::string_view head, const ShebangRules& rules) {
    if (!head.starts_with("#!")) {
        return std::string();
    }
    // What the kernel reads: the file's first bytes, zeros past its end.
    std::string buffer(head.substr(0, rules.bytes));
    buffer.resize(rules.bytes, '\0');
    return rules.xnu ? xnuInterpreter(buffer) : linuxInterpreter(buffer);
}

bool isTrustedProgram(const char* path) {
    static std::vector<std::pair<std::string, bool>> judged;
    return judgedOnce(judged, path, [path] {
        const Judgement judgement = judge(path);
        if (judgement.verdict == Verdict::refused) {
            report(std::string("not running ") + path, judgement.reason);
        }
        return judgement.verdict == Verdict::trusted;
    });
}

bool isTrustedInput(const char* program, const char* file) {
    static std::vector<std::pair<std::string, bool>> judged;
    return judgedOnce(judged, file, [program, file] {
        const Judgement judgement = walk(file, Kind::file);
        if (judgement.verdict == Verdict::refused) {
            report(std::string("not running ") + program, judgement.reason);
        }
        return judgement.verdict == Verdict::trusted || judgement.verdict == Verdict::missing;
    });
}

std::string aclOpenDistrust([[maybe_unused]] int fd) {
#ifdef __APPLE__
    return aclDistrust(
        acl_get_fd(fd),
        [](std::uint32_t tag, std::uint32_t flags, std::uint64_t) { return aclEntryAllows(tag, flags); },
        "has an ACL entry that lets another user open it");
#else
    return {};
#endif
}

std::string folderDistrust(const std::string& folder) {
    const Judgement judgement = walk(folder, Kind::folder);
    switch (judgement.verdict) {
        case Verdict::trusted:
            return {};
        case Verdict::refused:
            return judgement.reason;
        case Verdict::missing:
        case Verdict::unresolvable:
            break;
    }
    return std::strerror(judgement.error);
}
