// The platform contract on Linux and other POSIX systems.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/resource.h>
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

// The output file that an interruption removes: its temporary name and its
// identity. The handler reads them only while `has_pending` is set, and they
// are changed only while the interrupting signals are held, so the handler
// never sees half a name.
char pending_name[32];
file_identity pending_identity;
volatile std::sig_atomic_t has_pending = 0;

constexpr int interrupting_signals[] = {SIGINT, SIGTERM, SIGHUP};

#ifdef SND_EXTRACTOR_COVERAGE
extern "C" void __gcov_dump();  // a process ended by a signal writes no coverage otherwise
#endif

extern "C" void on_interrupt(int signal_number)
{
    struct stat status;
    // Only while the name is still this run's file: another process may have
    // put its own there since (lstat and unlink are async-signal-safe).
    if (has_pending && lstat(pending_name, &status) == 0 &&
        static_cast<std::uint64_t>(status.st_dev) == pending_identity.device &&
        static_cast<std::uint64_t>(status.st_ino) == pending_identity.inode)
        unlink(pending_name);
#ifdef SND_EXTRACTOR_COVERAGE
    __gcov_dump();
#endif
    std::signal(signal_number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal_number);  // ends the process here, unless it is PID 1,
    _exit(128 + signal_number);  // which the default action never ends
}

// Holds the interrupting signals for its lifetime, when asked to: only where
// the pending name changes, which the walk's common road (an unnamed file
// linked to a free name) never does.
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

// A fresh hidden temporary name, in the manner of mkstemp: random, so that
// neither an archive's entries nor another process can take them all.
void make_temporary_name(char (&name)[32])
{
    static std::mt19937_64 random{std::random_device{}()};
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    char tag[13];
    for (char& letter : tag)
        letter = letters[random() % (sizeof letters - 1)];
    tag[12] = '\0';
    std::snprintf(name, sizeof name, ".snd_extractor-%s.tmp", tag);
}

// Makes `name` the pending output file, or none when `name` is nullptr.
// Called with the signals held.
void set_pending(const char* name, const file_identity& identity)
{
    has_pending = 0;
    if (name == nullptr)
        return;
    std::snprintf(pending_name, sizeof pending_name, "%s", name);
    pending_identity = identity;
    has_pending = 1;
}

// Removes `path` only while it is still the file `identity`.
void remove_if_same(const char* path, const file_identity& identity)
{
    file_identity there;
    if (inspect_name(path, &there) == name_kind::other && same_file(there, identity))
        unlink(path);
}

// How a new output file is made, found out on the first one: unnamed and
// linked by its descriptor, unnamed and linked through /proc, or under a
// hidden temporary name from the start (no unnamed files here, or no way to
// link them).
enum class output_road { unknown, by_descriptor, through_proc, named };
output_road road = output_road::unknown;

// Links the unnamed file `fd` to `path`, never replacing anything there.
int link_unnamed(int fd, const char* path, output_road how)
{
#ifdef AT_EMPTY_PATH
    if (how == output_road::by_descriptor)
        return linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH);
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc_path, AT_FDCWD, path, AT_SYMLINK_FOLLOW);
#else
    (void)fd, (void)path, (void)how;
    errno = ENOSYS;
    return -1;
#endif
}

// Which road links the unnamed file `fd`: asked by linking it to ".", which
// is always taken, so that a road that would work answers EEXIST and nothing
// is made. Linking by descriptor may need a privilege; /proc may be absent.
output_road find_link_road(int fd)
{
    for (output_road how : {output_road::by_descriptor, output_road::through_proc})
        if (link_unnamed(fd, ".", how) != 0 && errno == EEXIST)
            return how;
    return output_road::named;
}

// An unnamed file in the working directory, opened for `access` (O_WRONLY,
// O_RDWR) with `mode` less the umask, or -1.
int create_unnamed(int access, mode_t mode)
{
#ifdef O_TMPFILE
    int fd;
    do {
        fd = open(".", O_TMPFILE | access | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
#else
    (void)access, (void)mode;
    return -1;
#endif
}

// A new file `name`, made only if nothing is there, or -1 (EEXIST: taken).
int create_named(const char* name, int access, mode_t mode)
{
    int fd;
    do {
        fd = open(name, O_CREAT | O_EXCL | access | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Runs `make` (a create or a link) on a fresh temporary name in `name`, and
// again on another while the name is taken. Returns what `make` returned:
// not negative, or -1 with errno set.
template <typename Make>
int with_fresh_name(char (&name)[32], Make make)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        make_temporary_name(name);
        int result = make(name);
        if (result >= 0 || errno != EEXIST)
            return result;
    }
    return -1;
}

// Gives the closed file at the temporary name `from` the name `to`, never
// replacing anything there: by a rename that refuses a taken name, or where
// the file system has none, by a hard link.
int rename_no_replace(const char* from, const char* to, const file_identity& identity)
{
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return -1;
#endif
    if (link(from, to) != 0)
        return -1;
    remove_if_same(from, identity);
    return 0;
}

}  // namespace

void start_platform()
{
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDONLY);  // takes the lowest free descriptor: fd
    // Every archive of the run is held open: allow as many as the system will.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
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

void end_line(std::FILE* stream)
{
    std::fputc('\n', stream);
}

std::FILE* open_archive(const char* path)
{
    return std::fopen(path, "rb");
}

bool reads_by_position(std::FILE* stream)
{
    return lseek(fileno(stream), 0, SEEK_CUR) >= 0;
}

// An unnamed file; else a hidden temporary name, removed at once.
std::FILE* open_spool()
{
    int fd = create_unnamed(O_RDWR, 0600);
    char name[32];
    if (fd < 0 && (fd = with_fresh_name(name, [](const char* n) { return create_named(n, O_RDWR, 0600); })) >= 0)
        unlink(name);
    std::FILE* spool = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (spool == nullptr && fd >= 0)
        close(fd);
    return spool;
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

const char* after_last_separator(const char* name)
{
    const char* slash = std::strrchr(name, '/');
    return slash != nullptr ? slash + 1 : name;
}

output_file::output_file()
{
    if (road != output_road::named) {
        fd_ = create_unnamed(O_WRONLY, 0666);
        if (fd_ >= 0 && road == output_road::unknown)
            road = find_link_road(fd_);
        if (fd_ >= 0 && road == output_road::named) {
            close(fd_);
            fd_ = -1;
        }
        if (fd_ < 0)
            road = output_road::named;  // for the rest of the run
    }
    held_signals held(fd_ < 0);
    if (fd_ < 0 &&
        (fd_ = with_fresh_name(temp_name_, [](const char* n) { return create_named(n, O_WRONLY, 0666); })) < 0) {
        temp_name_[0] = '\0';
        return;
    }
    // The identity of a descriptor just opened is always known; without it,
    // nothing would ever be removed.
    struct stat status;
    identity_from(fstat(fd_, &status), status, &identity_);
    if (temp_name_[0] != '\0')
        set_pending(temp_name_, identity_);
}

output_file::~output_file()
{
    held_signals held(temp_name_[0] != '\0');
    if (fd_ >= 0)
        close(fd_);
    if (!named_ && temp_name_[0] != '\0')
        remove_if_same(temp_name_, identity_);
    if (temp_name_[0] != '\0')
        set_pending(nullptr, identity_);
}

// An unnamed file is linked to a free name and then closed; where that
// close fails, the name it just took is given up. To replace, it is linked
// under a hidden temporary name first. A file with a temporary name is
// closed before it is renamed, so that a failing close never costs what was
// at the name.
int output_file::name(const char* name, bool replace)
{
    held_signals held(temp_name_[0] != '\0' || replace);
    if (named_ || (fd_ < 0 && temp_name_[0] == '\0'))
        return -1;
    if (temp_name_[0] == '\0' && !replace) {
        if (link_unnamed(fd_, name, road) != 0)
            return -1;
        named_ = true;
        int closed = close(fd_);
        fd_ = -1;
        if (closed != 0)
            remove_if_same(name, identity_);
        return closed;
    }
    if (temp_name_[0] == '\0') {
        if (with_fresh_name(temp_name_, [this](const char* n) { return link_unnamed(fd_, n, road); }) != 0) {
            temp_name_[0] = '\0';
            return -1;
        }
        set_pending(temp_name_, identity_);
    }
    if (fd_ >= 0) {
        int closed = close(fd_);
        fd_ = -1;
        if (closed != 0) {  // the file may not hold what was written: give it up now
            remove_if_same(temp_name_, identity_);
            set_pending(nullptr, identity_);
            temp_name_[0] = '\0';
            return -1;
        }
    }
    if ((replace ? std::rename(temp_name_, name) : rename_no_replace(temp_name_, name, identity_)) != 0)
        return -1;
    named_ = true;
    set_pending(nullptr, identity_);
    return 0;
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
            // Errors that only say "not between these files" leave the rest,
            // and every later entry of the archive, to the buffer, which also
            // finds out whether the archive really ends early.
            if (count < 0)
                status = errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS || errno == EPERM
                             ? 1
                             : -1;
            break;
        }
        *size -= static_cast<unsigned long long>(count);
    }
    *offset = in_offset;
    return status;
#else
    (void)stream, (void)offset, (void)size, (void)out;
    return 1;
#endif
}

int move_in_kernel(std::FILE* stream, int out)
{
#ifdef __linux__
    for (bool moved = false;; moved = true) {
        ssize_t count;
        do {
            count = splice(fileno(stream), nullptr, out, nullptr, 1 << 20, SPLICE_F_MOVE);
        } while (count < 0 && errno == EINTR);
        if (count == 0)
            return 0;
        if (count < 0)  // not a pipe after all, or a file system without splice
            return moved || (errno != EINVAL && errno != ENOSYS) ? -1 : 1;
    }
#else
    (void)stream, (void)out;
    return 1;
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

bool stdout_is_terminal()
{
    return isatty(fileno(stdout)) != 0;
}
