#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

// Owns one descriptor and closes it when it goes out of scope, so that no
// early return of a runner can leak a pipe end into a later child.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    // Closes now and returns what close said (a deferred write error, say),
    // which the destructor has to drop.
    int close() { return ::close(std::exchange(fd_, -1)); }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_ = -1;
};

// Writes all of `data`, across short writes and interrupted ones, and
// waits for room where the descriptor is non-blocking (another holder of a
// shared pipe can set that at any time): the helper's one report is never
// dropped for EAGAIN. False on any other failure, with errno set.
inline bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd room{fd, POLLOUT, 0};
                if (::poll(&room, 1, -1) < 0 && errno != EINTR) {
                    return false;
                }
                continue;
            }
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
