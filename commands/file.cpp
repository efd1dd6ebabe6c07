#include "commands/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "process/fd.h"

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

mode_t ordinaryFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

int replaceFile(const char* path, const std::string& text, mode_t mode) {
    // Same folder as the target, so the rename never crosses file systems.
    const std::string_view target(path);
    const std::size_t cut = target.rfind('/') + 1;  // 0 when there is no slash
    std::string temp(target.substr(0, cut));
    temp += '.';
    temp += target.substr(cut);
    temp += ".XXXXXX";

    // mkostemp opens with O_CREAT|O_EXCL: a link planted at the name fails
    // the open instead of being followed.
    Fd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return errno;
    }
    int error = 0;
    if (fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), text.data(), text.size()) ||
        fsync(fd.get()) != 0) {
        error = errno;
    }
    // close can report a deferred write error (NFS and the like).
    if (fd.close() != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && rename(temp.c_str(), path) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temp.c_str());
    }
    return error;
}

void writeConfigFile(const char* path, const std::string& text, mode_t mode) {
    const int error = replaceFile(path, text, mode);
    if (error == 0) {
        return;
    }
    std::string message = "ZartoHelper: cannot write ";
    message += path;
    message += ": ";
    message += std::strerror(error);
    message += '\n';
    writeAll(STDERR_FILENO, message.data(), message.size());
    std::exit(1);
}
