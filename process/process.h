#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Runs external programs for the command handlers, one child at a time.
//
// Every runner starts `cmd` directly by its absolute path (never a search,
// never a shell unless the shell is the program), with argv[0] = `cmd` and
// each element of `args` as one argument, unchanged. Children get the
// environment PATH=/usr/bin:/bin:/usr/sbin:/sbin and nothing else, whatever
// the helper's own; they inherit its working directory, umask, limits,
// standard input, ids and session, and start with every signal at its
// default disposition, an empty signal mask, and no descriptor of the
// helper's beyond 0, 1 and 2.
//
// A program that can't be started, or that can't be started in that state,
// gives status 127 and, where output is captured, empty lists; nothing is
// printed and the caller goes on. So does one that root must not run (see
// isTrustedProgram), which is reported once per path. A start that fails
// for want of memory (ENOMEM) is the helper's own failure, not the
// program's: it ends the helper (see exitOutOfMemory).

// The bytes of one captured stream, in one block that grows in place:
// realloc moves pages instead of copying them where it can (mremap on
// Linux), so the address space a capture takes stays near what was read,
// which a caller's hard address-space limit may make all there is. Moving
// a capture keeps the block where it is, so views into it stay valid.
// Memory that can't be had ends the helper (see exitOutOfMemory).
class Capture {
public:
    Capture() = default;
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    Capture(Capture&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Capture& operator=(Capture&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~Capture() { std::free(data_); }

    [[nodiscard]] std::string_view bytes() const { return {data_, size_}; }
    // Room for at least `wanted` more bytes, at the end of what was read.
    char* room(std::size_t wanted);
    [[nodiscard]] std::size_t roomLeft() const { return capacity_ - size_; }
    // `count` bytes were put into the room.
    void filled(std::size_t count) { size_ += count; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

using Lines = std::vector<std::string_view>;

// What a captured run gives back. The lines are views into the captured
// bytes the result holds, so a listing takes its memory once, not twice.
// They are handed out only by a result that lives on: taken from a
// temporary (`runCommand(...).output()`) they would outlive their bytes,
// and the compiler refuses it.
class CommandResult {
public:
    std::int32_t exitCode = 0;  // exit status, or signal number if killed

    // Lines of standard output (see splitLines).
    [[nodiscard]] const Lines& output() const& { return output_; }
    // Lines of standard error.
    [[nodiscard]] const Lines& error() const& { return error_; }
    void output() const&& = delete;
    void error() const&& = delete;

    // Keeps `bytes` and the lines that view them. Moving a capture keeps
    // its block where it is, so the views stay valid.
    void keepOutput(Lines lines, Capture bytes) {
        output_ = std::move(lines);
        outputBytes_ = std::move(bytes);
    }
    void keepError(Lines lines, Capture bytes) {
        error_ = std::move(lines);
        errorBytes_ = std::move(bytes);
    }

private:
    Lines output_;
    Lines error_;
    Capture outputBytes_;
    Capture errorBytes_;
};

// Starts the program with standard output and error inherited and waits for
// it. Returns its exit status, or the signal number that ended it.
std::int32_t runCommandWithOutPipe(const char* cmd, std::initializer_list<const char*> args);

// Same as runCommandWithOutPipe, for an argument list built at run time.
std::int32_t runCommandWithOutPipeWithArr(const char* cmd, const std::vector<std::string>& args);

// Starts the program with standard output and error on pipes of their own,
// drains both concurrently (a child filling standard error first never
// stalls), waits for it, and returns both streams as lines plus its status.
// A stream whose capture fails before its end gives no lines at all.
CommandResult runCommand(const char* cmd, std::initializer_list<const char*> args);

// Runs `commandLine` through "/bin/bash -c" with standard output on a pipe,
// standard error inherited, and returns everything written there once the
// pipe reaches its end (so everything that inherited it has closed it), and
// the shell has exited. Output that is not valid UTF-8, or whose capture
// failed before its end, gives "".
std::string shell(const char* commandLine);

// Starts `commandLine` through "/bin/bash -c" with all streams inherited, in
// a session of its own, and returns at once; the child is nobody's in the
// helper and may outlive it.
void shellNoPipe(const char* commandLine);
