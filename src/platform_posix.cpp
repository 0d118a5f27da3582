// The platform contract on Linux and other POSIX systems.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Turns the result of stat, lstat or fstat into an identity.
int identity_from(int result, const struct stat& status, file_identity* identity)
{
    if (result != 0)
        return -1;
    *identity = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
    return 0;
}

// The temporary file that an interruption removes. The handler reads it
// only while `has_pending` is set, and it is changed only while the
// interrupting signals are held, so the handler never sees half a name.
char pending_name[temporary_name_size];
volatile std::sig_atomic_t has_pending = 0;

constexpr int interrupting_signals[] = {SIGINT, SIGTERM, SIGHUP};

#ifdef SND_EXTRACTOR_COVERAGE
extern "C" void __gcov_dump();  // a process ended by a signal writes no coverage otherwise
#endif

extern "C" void on_interrupt(int signal_number)
{
    if (has_pending)
        unlink(pending_name);  // async-signal-safe, on a name prepared beforehand
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);  // held until the handler returns, then ends the process
#ifdef SND_EXTRACTOR_COVERAGE
    __gcov_dump();
#endif
}

// Holds the interrupting signals for its lifetime, when asked to.
class held_signals {
public:
    explicit held_signals(bool hold = true) : held_(hold)
    {
        if (!held_)
            return;
        sigset_t set;
        sigemptyset(&set);
        for (int signal_number : interrupting_signals)
            sigaddset(&set, signal_number);
        sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    ~held_signals()
    {
        if (held_)
            sigprocmask(SIG_SETMASK, &previous_, nullptr);
    }
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;

private:
    bool held_;
    sigset_t previous_;
};

// Makes `path` the pending temporary file when `result` says it now exists.
// Called with the signals held.
void note_pending(int result, const char* path, bool temporary)
{
    if (result < 0 || !temporary)
        return;
    std::strncpy(pending_name, path, sizeof pending_name - 1);
    has_pending = 1;
}

}  // namespace

void start_platform()
{
    std::signal(SIGXFSZ, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDONLY);  // takes the lowest free descriptor: fd
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (int signal_number : interrupting_signals)
        sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : interrupting_signals) {
        struct sigaction previous;
        // A signal the caller ignores (nohup, a background job) stays ignored.
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaction(signal_number, &action, nullptr);
    }
}

std::FILE* open_archive(const char* path)
{
    return std::fopen(path, "rb");
}

void write_text(std::FILE* stream, const char* text)
{
    std::fputs(text, stream);
}

int identify_file(const char* path, file_identity* identity)
{
    struct stat status;
    return identity_from(stat(path, &status), status, identity);
}

int identify_stream(std::FILE* stream, file_identity* identity, long long* size)
{
    struct stat status;
    int result = identity_from(fstat(fileno(stream), &status), status, identity);
    *size = result == 0 && S_ISREG(status.st_mode) ? static_cast<long long>(status.st_size) : -1;
    return result;
}

int identify_descriptor(int fd, file_identity* identity)
{
    struct stat status;
    return identity_from(fstat(fd, &status), status, identity);
}

name_kind inspect_name(const char* path, file_identity* identity)
{
    struct stat status;
    if (identity_from(lstat(path, &status), status, identity) != 0)
        return name_kind::nothing;
    return S_ISDIR(status.st_mode) ? name_kind::directory : name_kind::other;
}

bool is_plain_name(const char*)
{
    return true;  // any name without '/' is a file of the working directory
}

bool is_separator(char byte)
{
    return byte == '/';
}

int create_unnamed()
{
#ifdef O_TMPFILE
    int fd;
    do {
        fd = open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
#else
    return -1;
#endif
}

int link_unnamed(int fd, const char* path, bool temporary)
{
#ifdef AT_EMPTY_PATH
    // Linking by descriptor may need a privilege; the /proc road does not.
    // Once refused, it is not tried again for the rest of the run.
    // (The refusal reads as ENOENT, so only a /proc link that then succeeds
    // tells it apart from a name that cannot be made.)
    static bool by_descriptor_refused = false;
    held_signals held(temporary);
    int result = by_descriptor_refused ? -1 : linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH);
    if (result != 0 && (by_descriptor_refused || errno == ENOENT)) {
        char proc_path[64];
        std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
        result = linkat(AT_FDCWD, proc_path, AT_FDCWD, path, AT_SYMLINK_FOLLOW);
        by_descriptor_refused = by_descriptor_refused || result == 0;
    }
    note_pending(result, path, temporary);
    return result;
#else
    (void)fd, (void)path, (void)temporary;
    errno = ENOSYS;
    return -1;
#endif
}

int create_exclusive(const char* path)
{
    held_signals held;
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    note_pending(fd, path, true);
    return fd;
}

int replace_file(const char* from, const char* to)
{
    held_signals held;
    int result = std::rename(from, to);
    if (result == 0)
        has_pending = 0;
    return result;
}

int remove_if_same(const char* path, const file_identity& identity)
{
    held_signals held;
    file_identity there;
    int result = -1;
    if (inspect_name(path, &there) == name_kind::other && same_file(there, identity))
        result = unlink(path);
    if (has_pending && std::strcmp(pending_name, path) == 0)
        has_pending = 0;
    return result;
}

long long read_at(std::FILE* stream, char* buffer, std::size_t size, long long offset)
{
    ssize_t count;
    do {
        count = pread(fileno(stream), buffer, size, static_cast<off_t>(offset));
    } while (count < 0 && errno == EINTR);
    return count;
}

int copy_in_kernel(std::FILE* stream, long long* offset, unsigned long long* size, int out)
{
#ifdef __linux__
    constexpr unsigned long long max_chunk = 1ull << 30;
    off_t in_offset = static_cast<off_t>(*offset);
    int status = 0;
    while (*size > 0) {
        ssize_t count;
        do {
            count = copy_file_range(fileno(stream), &in_offset, out, nullptr,
                                    static_cast<std::size_t>(*size < max_chunk ? *size : max_chunk), 0);
        } while (count < 0 && errno == EINTR);
        if (count <= 0) {
            // Errors that only say "not here" leave the rest to the buffer,
            // which also finds out whether the archive really ends early.
            if (count < 0 && errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP && errno != ENOSYS &&
                errno != EPERM)
                status = -1;
            break;
        }
        *size -= static_cast<unsigned long long>(count);
    }
    *offset = in_offset;
    return status;
#else
    (void)stream, (void)offset, (void)size, (void)out;
    return 0;
#endif
}

long long write_some(int fd, const char* buffer, std::size_t size)
{
    ssize_t count;
    do {
        count = write(fd, buffer, size);
    } while (count < 0 && errno == EINTR);
    return count;
}

int close_file(int fd)
{
    return close(fd);
}

long process_id()
{
    return static_cast<long>(getpid());
}

bool stdout_is_terminal()
{
    return isatty(fileno(stdout)) != 0;
}
