#include "process/trust.h"

#include <sys/stat.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/acl.h>
#endif

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "process/report.h"

namespace {

// The kernel's own bound on links in one lookup (MAXSYMLINKS on macOS is 32,
// Linux's 40): past it exec fails with ELOOP anyway.
constexpr int maxLinks = 32;

#ifdef __APPLE__
// An entry granting any of these lets its holder change what the component
// names: write or append to the program, add, remove or rename entries of a
// folder, rewrite the ACL itself, or take the file over.
constexpr acl_perm_t writeRights[] = {ACL_WRITE_DATA,   ACL_APPEND_DATA,    ACL_DELETE,
                                      ACL_DELETE_CHILD, ACL_WRITE_SECURITY, ACL_CHANGE_OWNER};

// macOS checks ACL entries before the mode bits, so 0755 root:wheel proves
// nothing while an entry lets "everyone" write. Deny entries only take
// rights away. No ACL at all reads as ENOENT, and a volume without ACLs as
// ENOTSUP; any other failure leaves it unknown, which is a refusal.
const char* aclDistrust(const std::string& component) {
    const acl_t acl = acl_get_link_np(component.c_str(), ACL_TYPE_EXTENDED);
    if (acl == nullptr) {
        return errno == ENOENT || errno == ENOTSUP || errno == EOPNOTSUPP ? nullptr
                                                                          : "has an ACL that can't be read";
    }
    const char* reason = nullptr;
    acl_entry_t entry = nullptr;
    for (int which = ACL_FIRST_ENTRY; reason == nullptr && acl_get_entry(acl, which, &entry) == 0;
         which = ACL_NEXT_ENTRY) {
        acl_tag_t tag = ACL_UNDEFINED_TAG;
        acl_permset_t rights = nullptr;
        if (acl_get_tag_type(entry, &tag) != 0 || acl_get_permset(entry, &rights) != 0) {
            reason = "has an ACL that can't be read";
            break;
        }
        if (tag != ACL_EXTENDED_ALLOW) {
            continue;
        }
        for (const acl_perm_t right : writeRights) {
            if (acl_get_perm_np(rights, right) == 1) {
                reason = "has an ACL entry that lets others write";
            }
        }
    }
    acl_free(acl);
    return reason;
}
#endif

// Why `st`, the status of a component, would let someone other than root
// change what the path leads to; "" when nothing does. A link's own mode
// means nothing (a link can't be rewritten, only replaced through its
// folder), but its owner may remove it where the folder is sticky.
std::string distrust(const std::string& component, const struct stat& st, bool program) {
    if (st.st_uid != 0) {
        return "is owned by uid " + std::to_string(st.st_uid);
    }
    const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
    if (program && !S_ISREG(st.st_mode)) {
        return "is not a regular file";
    }
    if (!S_ISLNK(st.st_mode) && !sticky) {
        if ((st.st_mode & S_IWOTH) != 0) {
            return "is writable by others";
        }
        if ((st.st_mode & S_IWGRP) != 0) {
            return "is writable by group";
        }
    }
#ifdef __APPLE__
    if (const char* reason = aclDistrust(component)) {
        return reason;
    }
#else
    static_cast<void>(component);
#endif
    return {};
}

enum class Verdict { trusted, refused, missing };

// Resolves `path` one component at a time with lstat, as exec would, and
// judges each before going on: the folder a component lies in has already
// passed, so no one but root can swap it between the two looks. The first
// refusal is kept while the walk goes on to learn whether the program is
// there at all.
Verdict judge(const char* path, std::string& why) {
    std::string reached;  // resolved and judged so far; "" is /
    std::string rest = path;
    int links = 0;
    struct stat st {};
    // Every program is named from /; a relative name would be judged
    // against whatever folder this happens to be in.
    if (rest.empty() || rest.front() != '/' || lstat("/", &st) != 0) {
        return Verdict::missing;
    }
    if (const std::string reason = distrust("/", st, false); !reason.empty()) {
        why = "/ " + reason;
    }
    for (;;) {
        const std::size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos) {
            // Only a path that named no file at all ends here ("/" itself).
            return Verdict::missing;
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
            continue;
        }
        std::string component = reached;
        component += '/';
        component += name;
        if (lstat(component.c_str(), &st) != 0) {
            return Verdict::missing;
        }
        const bool program = last && !S_ISLNK(st.st_mode);
        if (const std::string reason = distrust(component, st, program); !reason.empty() && why.empty()) {
            why = component;
            why += ' ';
            why += reason;
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > maxLinks) {
                return Verdict::missing;
            }
            std::string target(PATH_MAX, '\0');
            const ssize_t length = readlink(component.c_str(), target.data(), target.size());
            if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
                return Verdict::missing;
            }
            target.resize(static_cast<std::size_t>(length));
            // Its target is read in the folder that holds the link, or
            // from / again.
            if (target.front() == '/') {
                reached.clear();
            }
            target.insert(0, 1, '/');
            rest.insert(0, target);
            continue;
        }
        if (last) {
            return why.empty() ? Verdict::trusted : Verdict::refused;
        }
        reached = component;
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
    std::string why;
    const Verdict verdict = judge(path, why);
    if (verdict == Verdict::refused) {
        report(std::string("not running ") + path, why);
    }
    judged.emplace_back(path, verdict == Verdict::trusted);
    return verdict == Verdict::trusted;
}
