// The OS contract on Linux (platform.h, archive_io.h, output_file.h, whose
// stages output_file below follows). The signals are held only where a
// registered name changes, so that the interrupt handler never sees half a
// name; the common road holds none.
#include "platform.h"

#include "archive_io.h"
#include "output_file.h"


#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include <dirent.h>
#include <fcntl.h>
#include <climits>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Runs the system call `call` again for as long as a signal interrupts it.
template <typename Call>
auto retry(Call call)
{
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// Turns the result of stat, lstat or fstat into an identity.
int identity_from(int result, const struct stat& status, file_identity* identity)
{
    if (result != 0)
        return -1;
    *identity = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
    return 0;
}

// Whether a failure says "not supported here" (by this file system, this
// kernel, without this privilege), which holds for the rest of the run; any
// other (EMFILE, ENOSPC, EIO...) may pass.
bool not_supported(int error)
{
    return error == EOPNOTSUPP || error == EINVAL || error == ENOSYS || error == EISDIR || error == EPERM;
}

// A file that an interruption removes, with its identity and, while it is
// open, its descriptor; `name` holds the longest temporary name or output
// name there is (256 bytes and a NUL).
struct pending_file {
    char name[257];
    file_identity identity;
    volatile std::sig_atomic_t fd = -1;
    volatile std::sig_atomic_t set;
};

// How a new output file is made, found out on the first one: unnamed and
// linked by its descriptor, unnamed and linked through /proc, or under a
// hidden temporary name from the start (no unnamed files here, or no way to
// link them).
enum class new_output { unknown, linked_by_descriptor, linked_through_proc, temporary_name };

// Whether closing a file of the working directory can fail: on local file
// systems a close reports nothing (write errors surface in write and
// fsync), elsewhere (NFS, SMB, FUSE) it may report a late write error,
// and then the file's identity is taken before it is closed, to remove it.
enum class closing { unknown, cannot_fail, may_fail };

// What a way of naming files was found to be in the working directory:
// judged only by its answer on the tool's own hidden names (fusefat refuses
// any non-ASCII name with EPERM, which says nothing of the way), and then
// never asked again where it is refused, so that no call fails once a sound.
enum class way { unknown, works, refused };

// The run's output files, process-wide. The interrupt handler reads the
// pending files, each while its flag is set, changed only with the signals
// held. The rest is what the file system was found to lack, on the first
// output or refusal (not_supported), never on a passing failure.
struct output_state {
    pending_file temporary;  // an output under its hidden temporary name
    pending_file claim;      // the empty file that claims a free name (no no-replace renames, no links)
    pending_file spool;      // a piped archive's copy under a hidden name (no unnamed files)
    new_output made_as = new_output::unknown;
    closing close_check = closing::unknown;
    way exchange = way::unknown;    // renameat2(RENAME_EXCHANGE)
    way keep_taken = way::unknown;  // renameat2(RENAME_NOREPLACE)
    way hard_link = way::unknown;   // link()
    // Where a sound claims its name (no no-replace renames, no links: FAT,
    // exFAT), it is written in a hidden folder of the run's own, made on the
    // first such sound, removed when the run ends or is interrupted, left by
    // a kill: a FAT folder is a list, and making a file costs time in
    // proportion to the files there (fusefat: 2.3x `tar -x` in the working
    // directory, 1.4x in a folder of one file).
    char folder[32];
    volatile std::sig_atomic_t folder_made;
    way own_folder = way::unknown;
};
output_state outputs;

constexpr int interrupting_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Removes the pending file only while the name is still this run's file:
// another process may have put its own there since. It is closed first: a
// FUSE store only hides a file unlinked while open, which would keep the
// run's folder from going (lstat, close and unlink are async-signal-safe).
void remove_pending(const pending_file& file)
{
    struct stat status;
    if (file.set && lstat(file.name, &status) == 0 &&
        static_cast<std::uint64_t>(status.st_dev) == file.identity.device &&
        static_cast<std::uint64_t>(status.st_ino) == file.identity.inode) {
        if (file.fd >= 0)
            close(file.fd);
        unlink(file.name);
    }
}

// Removes the run's hidden folder, at the end of the run or on an
// interruption (rmdir is async-signal-safe).
extern "C" void remove_own_folder()
{
    if (outputs.folder_made)
        rmdir(outputs.folder);  // only where nothing is left in it
}

#ifdef SND_EXTRACTOR_COVERAGE
extern "C" void __gcov_dump();  // a process ended by a signal writes no coverage otherwise
#endif

extern "C" void on_interrupt(int signal_number)
{
    remove_pending(outputs.temporary);
    remove_pending(outputs.claim);
    remove_pending(outputs.spool);
    remove_own_folder();
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

// Copies `parts` into `to` (room for `size` bytes and a NUL), as far as
// they fit: the roads to a name run on a stack of 16 KiB, where printf's
// frames would not fit beside them.
void copy_text(char* to, std::size_t size, std::initializer_list<const char*> parts)
{
    std::size_t at = 0;
    for (const char* part : parts)
        for (; *part != '\0' && at + 1 < size; ++part)
            to[at++] = *part;
    to[at] = '\0';
}

// Makes `name` the pending `file`, open as `fd` (or -1), or none when
// `name` is nullptr. Called with the signals held.
void set_pending(pending_file* file, const char* name, const file_identity& identity = {}, int fd = -1)
{
    file->set = 0;
    file->fd = -1;
    if (name == nullptr)
        return;
    copy_text(file->name, sizeof file->name, {name});
    file->identity = identity;
    file->fd = fd;
    file->set = 1;
}

// Holds the interrupting signals for its lifetime, when asked to: only where
// a pending name changes, which the common road never does.
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

// A fresh hidden temporary name, in the manner of mkstemp: random, from the
// system's source, so that neither an archive's entries nor another process
// can take them all; in `folder` where one is given. Where that source has
// nothing yet, the clock and a counter stir a little state instead.
template <std::size_t size>
void make_temporary_name(char (&name)[size], const char* folder = "")
{
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[12];
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        static std::uint64_t state = static_cast<std::uint64_t>(getpid()) << 32;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        state += 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(now.tv_nsec);
        for (unsigned char& byte : random) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            byte = static_cast<unsigned char>(state >> 56);
        }
    }
    char tag[sizeof random + 1];
    for (std::size_t at = 0; at < sizeof random; ++at)
        tag[at] = letters[random[at] % (sizeof letters - 1)];
    tag[sizeof random] = '\0';
    copy_text(name, sizeof name, {folder, *folder != '\0' ? "/" : "", temporary_prefix, tag, ".tmp"});
}

// A stream over the descriptor `fd`, which it takes: closed where no
// stream can be made.
std::FILE* stream_of(int fd, const char* mode)
{
    std::FILE* stream = fdopen(fd, mode);
    if (stream == nullptr)
        close(fd);
    return stream;
}

closing find_close_check()
{
    struct statfs status;
    if (statfs(".", &status) != 0)
        return closing::may_fail;
    switch (static_cast<unsigned long>(status.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
        return closing::cannot_fail;
    default:
        return closing::may_fail;
    }
}

// The identity of the open file `fd`: always known for a descriptor of
// ours, and without it nothing would ever be removed.
int identity_of(int fd, file_identity* identity)
{
    struct stat status;
    return identity_from(fstat(fd, &status), status, identity);
}

// Links the unnamed file `fd` to `path`, never replacing anything there.
int link_unnamed(int fd, const char* path, new_output how)
{
    if (how == new_output::linked_by_descriptor)
        return linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH);
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc_path, AT_FDCWD, path, AT_SYMLINK_FOLLOW);
}

// Which way links the unnamed file `fd`: asked by linking it to ".", which
// is always taken, so that a way that would work answers EEXIST and nothing
// is made. Linking by descriptor may need a privilege; /proc may be absent.
new_output find_link_way(int fd)
{
    for (new_output how : {new_output::linked_by_descriptor, new_output::linked_through_proc})
        if (link_unnamed(fd, ".", how) != 0 && errno == EEXIST)
            return how;
    return new_output::temporary_name;
}

// An unnamed file in the working directory, opened for `access` (O_WRONLY,
// O_RDWR) with `mode` less the umask, or -1.
int create_unnamed(int access, mode_t mode)
{
    return retry([&] { return open(".", O_TMPFILE | access | O_CLOEXEC, mode); });
}

// A new file `name`, made only if nothing is there, or -1 (EEXIST: taken).
int create_named(const char* name, int access, mode_t mode)
{
    return retry([&] { return open(name, O_CREAT | O_EXCL | access | O_CLOEXEC, mode); });
}

// Runs `make` (a create or a link) on a fresh temporary name in `name`, in
// `folder` where one is given, and again on another while the name is
// taken. Returns what `make` returned: not negative, or -1 with errno set.
template <std::size_t size, typename Make>
int with_fresh_name(char (&name)[size], Make make, const char* folder = "")
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        make_temporary_name(name, folder);
        int result = make(name);
        if (result >= 0 || errno != EEXIST)
            return result;
    }
    return -1;
}

// The run's hidden folder, where a sound claims its name; "" elsewhere, and
// where none could be made (not asked again). Called with the signals held.
const char* own_folder()
{
    if (outputs.own_folder == way::unknown && outputs.keep_taken == way::refused && outputs.hard_link == way::refused) {
        const auto make = [](const char* name) { return mkdir(name, 0700); };
        outputs.own_folder = with_fresh_name(outputs.folder, make) == 0 ? way::works : way::refused;
        outputs.folder_made = outputs.own_folder == way::works;
        if (outputs.folder_made)
            std::atexit(remove_own_folder);
    }
    return outputs.own_folder == way::works ? outputs.folder : "";
}

// Names the closed file at `from` `to` by the map's "claim", where the file
// system has neither no-replace renames nor hard links. Signals held. Each
// road below says in `why` why it failed.
name_outcome claim_and_rename(const char* from, const char* to, cause& why)
{
    int claim = create_named(to, O_WRONLY, 0666);
    if (claim < 0)
        return errno == EEXIST ? name_outcome::taken : (why = last_error(), name_outcome::failed);
    file_identity claimed{}, there{};
    if (identity_of(claim, &claimed) != 0) {
        why = last_error();
        close(claim);
        return name_outcome::failed;  // nothing could tell the claim from another's file
    }
    set_pending(&outputs.claim, to, claimed);
    name_outcome result = name_outcome::taken;  // another's file came to the name: never replaced
    if (inspect_name(to, &there) == name_kind::other && same_file(there, claimed))
        result = std::rename(from, to) == 0 ? name_outcome::named : (why = last_error(), name_outcome::failed);
    close(claim);  // after the rename: on FUSE a close is a round trip, and the empty claim shows meanwhile
    if (result == name_outcome::failed)
        remove_if_same(to, claimed);
    set_pending(&outputs.claim, nullptr);
    return result;
}

// Runs the way `try_way` (0, or -1 with errno) on `from` and `to` unless
// `*known` says it is refused here, and settles `*known` from its answer: a
// success says it works; a "not supported" is asked again of two hidden
// names of the tool's own (an empty file made for it, and a fresh name, or
// a second empty file where `both_exist`), which decide; a failure of any
// other kind settles nothing. -1 with not_supported(errno) where the way is
// refused here.
template <typename Way>
int by_way(way* known, const char* from, const char* to, Way try_way, bool both_exist = false)
{
    if (*known == way::refused) {
        errno = EINVAL;
        return -1;
    }
    int result = try_way(from, to);
    if (result == 0 || *known != way::unknown || !not_supported(errno)) {
        *known = result == 0 ? way::works : *known;
        return result;
    }
    const int error = errno;
    held_signals held;  // neither empty file outlives an interruption
    char first[32], second[32];
    file_identity made[2] = {{~0ull, ~0ull}, {~0ull, ~0ull}};  // no file's, until each is made
    const auto make = [](const char* name) { return create_named(name, O_WRONLY, 0600); };
    int fd[2] = {with_fresh_name(first, make), both_exist ? with_fresh_name(second, make) : -1};
    if (!both_exist)
        make_temporary_name(second);
    if (fd[0] >= 0 && (!both_exist || fd[1] >= 0) && identity_of(fd[0], &made[0]) == 0 &&
        (!both_exist || identity_of(fd[1], &made[1]) == 0)) {
        const int probe = try_way(first, second);
        *known = probe == 0 ? way::works : not_supported(errno) ? way::refused : way::unknown;
    }
    for (int at = 0; at < 2; ++at)
        if (fd[at] >= 0)
            close(fd[at]);
    for (const char* name : {first, second}) {  // wherever the way put them
        file_identity there;
        if (inspect_name(name, &there) == name_kind::other && (same_file(there, made[0]) || same_file(there, made[1])))
            unlink(name);
    }
    errno = *known == way::refused ? EINVAL : error;
    return -1;
}

// Renames `from` to `to` only if nothing is at `to`, where the file system
// can. -1 with EEXIST where something is; with not_supported(errno) where
// the file system cannot.
int rename_keeping_taken(const char* from, const char* to)
{
    return by_way(&outputs.keep_taken, from, to, [](const char* a, const char* b) {
        return renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_NOREPLACE);
    });
}

// Gives the closed file at the temporary name `from` the name `to`, never
// replacing anything there: by a rename that refuses a taken name, or where
// the file system has none, by a hard link, or else by a claim.
name_outcome rename_no_replace(const char* from, const char* to, const file_identity& identity, cause& why)
{
    if (rename_keeping_taken(from, to) == 0)
        return name_outcome::named;
    if (errno == EEXIST)
        return name_outcome::taken;
    if (outputs.keep_taken != way::refused)
        return why = last_error(), name_outcome::failed;  // the name's refusal, not the way's
    if (by_way(&outputs.hard_link, from, to, [](const char* a, const char* b) { return link(a, b); }) == 0) {
        remove_if_same(from, identity);
        return name_outcome::named;
    }
    if (errno == EEXIST)
        return name_outcome::taken;
    return outputs.hard_link == way::refused ? claim_and_rename(from, to, why) : (why = last_error(), name_outcome::failed);
}

// Moves what is at `name` to a fresh hidden name, in `aside`, never
// replacing anything there: where the file system cannot refuse a taken
// name, the random name was free a moment before.
int move_aside(const char* name, char (&aside)[32])
{
    return with_fresh_name(aside, [name](const char* fresh) {
        int result = rename_keeping_taken(name, fresh);
        if (result == 0 || !not_supported(errno))
            return result;
        file_identity there;
        if (inspect_name(fresh, &there) != name_kind::nothing) {
            errno = EEXIST;
            return -1;
        }
        return std::rename(name, fresh);
    });
}

// Puts the file moved to `aside` back at `name`, never replacing what came
// there since; where it cannot, it stays where it is, and `kept` says where.
void put_back(const char* aside, const char* name, const file_identity& moved, char (&kept)[hidden_name_size])
{
    cause ignored;
    if (rename_no_replace(aside, name, moved, ignored) != name_outcome::named)
        copy_text(kept, sizeof kept, {aside});
}

// Puts the closed file at `from` at `to` in place of the file `replacing`,
// as the map's "moved aside" draws it. Called with the signals held.
name_outcome move_aside_into(const char* from, const char* to, const file_identity& replacing,
                             const file_identity& identity, cause& why, char (&kept)[hidden_name_size])
{
    char aside[32];
    if (move_aside(to, aside) != 0)  // ENOENT: the name is free now: take it, replacing nothing
        return errno == ENOENT ? rename_no_replace(from, to, identity, why) : (why = last_error(), name_outcome::failed);
    file_identity moved{};
    const bool found = inspect_name(aside, &moved) == name_kind::other && same_file(moved, replacing);
    name_outcome result = found ? rename_no_replace(from, to, identity, why) : (why = {reason::raced}, name_outcome::failed);
    if (result == name_outcome::named)
        remove_if_same(aside, moved);
    else
        put_back(aside, to, moved, kept);
    if (result != name_outcome::named && result != name_outcome::failed)
        why = {reason::raced};  // another's file came to the name, or took the place of what was there
    return result == name_outcome::named ? name_outcome::named : name_outcome::failed;
}

// Puts the closed file at `from` at `to` in place of the file `replacing`,
// as the map's "exchanged" draws it. Called with the signals held.
name_outcome exchange_into(const char* from, const char* to, const file_identity& replacing, const file_identity& identity,
                           cause& why, char (&kept)[hidden_name_size])
{
    const auto exchange = [](const char* a, const char* b) {
        return renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE);
    };
    if (by_way(&outputs.exchange, from, to, exchange, true) != 0) {
        if (errno == ENOENT)  // the name is free now: take it, replacing nothing
            return rename_no_replace(from, to, identity, why);
        if (outputs.exchange != way::refused)
            return why = last_error(), name_outcome::failed;  // the name's refusal, or a passing one
        return move_aside_into(from, to, replacing, identity, why, kept);
    }
    file_identity displaced;
    if (inspect_name(from, &displaced) != name_kind::nothing && same_file(displaced, replacing)) {
        unlink(from);
        return name_outcome::named;
    }
    // Something else came to the name meanwhile: it goes back, and this
    // file returns to its temporary name. Where the name has moved on since,
    // taking this file with it, what came from the name goes back to it if
    // it is free; else it stays where it is, and the run says so.
    why = {reason::raced};
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0) {
        // What came back is this file, or else what came to the name
        // since: the file that was to be replaced goes, anything else stays.
        file_identity back;
        if (inspect_name(from, &back) != name_kind::nothing && !same_file(back, identity)) {
            if (same_file(back, replacing))
                unlink(from);
            else
                copy_text(kept, sizeof kept, {from});
        }
        return name_outcome::failed;
    }
    put_back(from, to, displaced, kept);
    return name_outcome::failed;  // this file went on with the name
}

// Whether standard output and standard error are terminals: asked once,
// at start, not for every line.
struct {
    bool out, err;
} terminals;

}  // namespace

void start_platform()
{
    terminals = {isatty(STDOUT_FILENO) != 0, isatty(STDERR_FILENO) != 0};
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDONLY);  // takes the lowest free descriptor: fd
    // Archives are held open at the start: allow as many as the system will.
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

cause last_error()
{
    return {reason::system, errno};
}

void system_error_text(int error, char (&text)[512])
{
    std::snprintf(text, sizeof text, "%s", std::strerror(error));
}

bool is_terminal(std::FILE* stream)
{
    return stream == stdout ? terminals.out : stream == stderr && terminals.err;
}

const char* as_utf8(const char* name, char (&)[output_name_size])
{
    return name;
}

void write_terminal(std::FILE* stream, const char* text)
{
    std::fputs(text, stream);
}

// Nothing waits on Linux.
console_facts read_console_facts()
{
    return {};
}

void say_and_wait(const std::string&) {}

std::string working_folder()
{
    std::string folder(PATH_MAX, '\0');
    return getcwd(folder.data(), folder.size()) != nullptr ? folder.c_str() : "";
}

int terminal_columns()
{
    winsize size{};
    return ioctl(fileno(stdout), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
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

int remove_name(const char* path)
{
    return unlink(path);
}

std::string follow_links(const char* path)
{
    struct stat status;
    if (lstat(path, &status) != 0 || !S_ISLNK(status.st_mode))
        return {};
    std::string current = path;
    std::string target(PATH_MAX, '\0');  // one path at a time, released on return
    for (int hop = 0; hop < 40 && lstat(current.c_str(), &status) == 0 && S_ISLNK(status.st_mode); ++hop) {
        ssize_t length = readlink(current.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size())
            break;
        // A relative target is read from the link's folder.
        const auto folder = target[0] == '/' ? 0 : static_cast<std::size_t>(last_component(current.c_str(), path_separators) - current.c_str());
        current.replace(folder, std::string::npos, target, 0, static_cast<std::size_t>(length));
    }
    return current;
}

archive_kind inspect_archive(const archive_path& path, file_identity* identity)
{
    struct stat status;
    if (identity_from(stat(path.bytes, &status), status, identity) != 0)
        return archive_kind::missing;
    return S_ISREG(status.st_mode) ? archive_kind::regular : archive_kind::other;
}

namespace {

// How many descriptors are open below `limit`: the entries of
// /proc/self/fd (less the one that reads them), else the lowest free one
// for want of better.
rlim_t open_descriptors(rlim_t limit)
{
    if (DIR* fds = opendir("/proc/self/fd")) {
        rlim_t open = 0;
        while (const dirent* entry = readdir(fds))
            open += entry->d_name[0] != '.' && static_cast<rlim_t>(std::atoll(entry->d_name)) < limit;
        closedir(fds);
        return open > 0 ? open - 1 : 0;
    }
    int lowest_free = fcntl(0, F_DUPFD_CLOEXEC, 0);
    if (lowest_free < 0)
        return limit;
    close(lowest_free);
    return static_cast<rlim_t>(lowest_free);
}

}  // namespace

// What the run keeps free: an eighth of its descriptors, and at least 16
// (the archive being read, its spool, an output, its claim, with room for
// the C library).
std::size_t archive_budget()
{
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return 0;
    const rlim_t spare = files.rlim_cur / 8 > 16 ? files.rlim_cur / 8 : 16;
    const rlim_t used = open_descriptors(files.rlim_cur) + spare;
    return files.rlim_cur > used ? static_cast<std::size_t>(files.rlim_cur - used) : 0;
}

// Non-blocking, in case a FIFO took the regular file's place since it was
// inspected: that open neither waits for a writer nor is kept.
archive_handle hold_archive(const archive_path& path, file_identity* identity)
{
    int fd = retry([&] { return open(path.bytes, O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0)
        return no_archive;
    struct stat status;
    if (identity_from(fstat(fd, &status), status, identity) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return no_archive;
    }
    return fd;
}

void release_archive(archive_handle handle)
{
    if (handle != no_archive)
        close(static_cast<int>(handle));
}

std::FILE* open_archive(const archive_path& path, archive_handle held)
{
    return held == no_archive ? std::fopen(path.bytes, "rb") : stream_of(static_cast<int>(held), "rb");
}

// A pipe gets a buffer of 1 MiB (the most the system grants without
// privilege), so that the program feeding it and the tool take turns
// sixteen times less often than with the usual 64 KiB.
bool reads_by_position(std::FILE* stream)
{
    if (lseek(fileno(stream), 0, SEEK_CUR) >= 0)
        return true;
    fcntl(fileno(stream), F_SETPIPE_SZ, 1 << 20);
    return false;
}

// An unnamed file; else a hidden temporary name, registered with the
// signals held so that an interruption removes it, and kept until the
// spool is closed: fusefat loses writes to an open file once it is unlinked.
std::FILE* open_spool(bool hidden_name)
{
    int fd = create_unnamed(O_RDWR, 0600);
    if (fd < 0 && hidden_name) {
        held_signals held;
        char name[32];
        file_identity identity;
        if ((fd = with_fresh_name(name, [](const char* n) { return create_named(n, O_RDWR, 0600); })) >= 0) {
            if (identity_of(fd, &identity) == 0)
                set_pending(&outputs.spool, name, identity);
            else
                unlink(name);  // nothing could tell it from another's file later
        }
    }
    return fd >= 0 ? stream_of(fd, "w+b") : nullptr;
}

namespace {

// The spool opened anew by its hidden name to read, while it is still the
// spool, or nullptr.
std::FILE* open_spool_by_name()
{
    int fd = retry([] { return open(outputs.spool.name, O_RDONLY | O_CLOEXEC); });
    file_identity opened;
    if (fd >= 0 && (identity_of(fd, &opened) != 0 || !same_file(opened, outputs.spool.identity))) {
        close(fd);  // another's file came to the name
        fd = -1;
    }
    return fd >= 0 ? stream_of(fd, "rb") : nullptr;
}

}  // namespace

std::FILE* reopen_spool(std::FILE* spool)
{
    if (!outputs.spool.set)
        return spool;
    std::fclose(spool);  // before the new open: fusefat refuses a file open twice for writing
    return open_spool_by_name();
}

std::FILE* read_spool_anew()
{
    return outputs.spool.set ? open_spool_by_name() : nullptr;
}

void remove_spool()
{
    if (!outputs.spool.set)
        return;
    held_signals held;
    remove_if_same(outputs.spool.name, outputs.spool.identity);
    set_pending(&outputs.spool, nullptr);
}

// Unknown (-1) where the file system reports no free blocks, or none at all:
// fusefat reports 0 of 0 on a fresh image of 256 MiB (not on one of 512). A
// spool then stops where a write fails, as on a full disk.
long long free_room()
{
    struct statvfs status;
    if (statvfs(".", &status) != 0 || status.f_blocks == 0 || status.f_bavail == 0)
        return -1;
    return static_cast<long long>(status.f_bavail) * static_cast<long long>(status.f_frsize);
}

std::FILE* open_memory_stream(char* bytes, std::size_t size)
{
    return size > 0 ? fmemopen(bytes, size, "rb") : nullptr;
}

void let_go_of_pipe(std::FILE* pipe)
{
    struct stat piped, input;
    if (fstat(fileno(pipe), &piped) != 0 || fstat(STDIN_FILENO, &input) != 0 || piped.st_dev != input.st_dev ||
        piped.st_ino != input.st_ino)
        return;
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);  // dup2 clears close-on-exec for the copy
        close(null);
    }
}

long long read_at(std::FILE* stream, char* buffer, std::size_t size, long long offset)
{
    return retry([&] { return pread(fileno(stream), buffer, size, static_cast<off_t>(offset)); });
}

kernel_copy copy_in_kernel(std::FILE* stream, long long* offset, unsigned long long* size, int out)
{
    constexpr unsigned long long max_chunk = 1ull << 30;
    off_t in_offset = static_cast<off_t>(*offset);
    kernel_copy result = kernel_copy::done;
    while (*size > 0) {
        ssize_t count = retry([&] {
            return copy_file_range(fileno(stream), &in_offset, out, nullptr,
                                   static_cast<std::size_t>(*size < max_chunk ? *size : max_chunk), 0);
        });
        if (count <= 0) {
            // Errors that only say "not between these files" leave the rest,
            // and every later entry of the archive, to the buffer, which also
            // finds out whether the archive really ends early.
            if (count < 0)
                result = errno == EXDEV || not_supported(errno) ? kernel_copy::not_here : kernel_copy::failed;
            break;
        }
        *size -= static_cast<unsigned long long>(count);
    }
    *offset = in_offset;
    return result;
}

kernel_copy move_in_kernel(std::FILE* stream, int out, unsigned long long* size)
{
    for (bool moved = false; *size > 0; moved = true) {
        const std::size_t want = *size < (1u << 20) ? static_cast<std::size_t>(*size) : (1u << 20);
        ssize_t count = retry([&] { return splice(fileno(stream), nullptr, out, nullptr, want, SPLICE_F_MOVE); });
        if (count == 0)
            return kernel_copy::done;
        if (count < 0)  // not a pipe after all, or a file system without splice
            return moved || (errno != EINVAL && errno != ENOSYS) ? kernel_copy::failed : kernel_copy::not_here;
        *size -= static_cast<unsigned long long>(count);
    }
    return kernel_copy::done;
}

long long write_some(int fd, const char* buffer, std::size_t size)
{
    return retry([&] { return write(fd, buffer, size); });
}

using stage = output_port_state::stage;

// A new output is unnamed where the file system allows, else under a hidden
// temporary name. A transient failure (no descriptor or room free just now)
// fails this output alone: the next one tries the unnamed road again.
output_file::output_file()
{
    if (outputs.made_as != new_output::temporary_name) {
        fd_ = create_unnamed(O_WRONLY, 0666);
        if (fd_ < 0 && !not_supported(errno)) {
            why_ = last_error();
            return;
        }
        if (fd_ >= 0 && outputs.made_as == new_output::unknown) {
            outputs.made_as = find_link_way(fd_);
            outputs.close_check = find_close_check();
        }
        if (fd_ >= 0 && outputs.made_as != new_output::temporary_name)
            port_.at = stage::unnamed;
        else if (fd_ >= 0)
            close(fd_);
        else
            outputs.made_as = new_output::temporary_name;  // for the rest of the run
    }
    if (port_.at == stage::unnamed)
        return;  // its identity is taken only on the roads that need it
    held_signals held;
    fd_ = with_fresh_name(temp_name_, [](const char* n) { return create_named(n, O_WRONLY, 0666); }, own_folder());
    if (fd_ < 0) {
        why_ = last_error();
        return;
    }
    port_.at = stage::temporary;
    identity_of(fd_, &identity_);
    set_pending(&outputs.temporary, temp_name_, identity_, fd_);
}

output_file::~output_file()
{
    held_signals held(port_.at == stage::temporary);
    outputs.temporary.fd = -1;
    if (fd_ >= 0)
        close(fd_);
    if (port_.at == stage::temporary) {
        remove_if_same(temp_name_, identity_);
        set_pending(&outputs.temporary, nullptr);
    }
}

// An unnamed file is linked to a free name and then closed; where that
// close fails and closing may fail here, the name it just took is given up
// (where it cannot, the file at its name is whole all the same). To replace, it is linked
// under a hidden temporary name first. A file with a temporary name is
// closed before it is renamed, so that a failing close never costs what was
// at the name.
name_outcome output_file::name(const char* name, const file_identity* replacing, const folded_names* archives)
{
    if (port_.at == stage::none || port_.at == stage::named)
        return name_outcome::failed;
    if (replacing != nullptr && (archives == nullptr || archives->may_spell(name)))
        return why_ = {reason::archive_at_name}, name_outcome::failed;  // never moved aside or removed
    held_signals held(port_.at == stage::temporary || replacing != nullptr);
    if (port_.at == stage::unnamed && replacing == nullptr) {
        const bool may_fail = outputs.close_check != closing::cannot_fail;
        if (may_fail)
            identity_of(fd_, &identity_);
        if (link_unnamed(fd_, name, outputs.made_as) != 0)
            return errno == EEXIST ? name_outcome::taken : (why_ = last_error(), name_outcome::failed);
        port_.at = stage::named;
        int closed = close(fd_);
        fd_ = -1;
        if (closed == 0 || !may_fail)
            return name_outcome::named;
        why_ = last_error();
        remove_if_same(name, identity_);
        return name_outcome::failed;
    }
    if (port_.at == stage::unnamed) {
        identity_of(fd_, &identity_);
        if (with_fresh_name(temp_name_, [this](const char* n) { return link_unnamed(fd_, n, outputs.made_as); }) != 0)
            return why_ = last_error(), name_outcome::failed;
        port_.at = stage::temporary;
        set_pending(&outputs.temporary, temp_name_, identity_, fd_);
    }
    // Another process may have renamed its own file over the temporary name:
    // asked once, while the file is still open, which keeps its number (vfat).
    file_identity there;
    if (fd_ >= 0 && (inspect_name(temp_name_, &there) != name_kind::other || !same_file(there, identity_)))
        return why_ = {reason::raced}, name_outcome::failed;
    if (fd_ >= 0) {
        outputs.temporary.fd = -1;
        int closed = close(fd_);
        fd_ = -1;
        if (closed != 0)  // the file may not hold what was written: the destructor gives it up
            return why_ = last_error(), name_outcome::failed;
    }
    name_outcome result = replacing != nullptr ? exchange_into(temp_name_, name, *replacing, identity_, why_, kept_)
                                         : rename_no_replace(temp_name_, name, identity_, why_);
    if (result == name_outcome::named) {
        port_.at = stage::named;
        set_pending(&outputs.temporary, nullptr);
    }
    return result;
}
