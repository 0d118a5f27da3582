// Loaded into the tool with LD_PRELOAD, this gives it a system that fails in
// the ways SND_EXTRACTOR_FAULTS names (a comma-separated list), so that the
// tool's other roads run on an ordinary Linux machine too:
//   no_tmpfile     no file system has unnamed files (O_TMPFILE);
//   no_link        an unnamed file cannot be linked to a name: linking by
//                  descriptor is refused and /proc is absent;
//   no_hard_link   the file system has no hard links at all (EPERM), and
//   no_rename2     no renameat2 flags (EINVAL): no no-replace rename, no
//                  exchange, as on some FUSE stores and 9p mounts;
//   no_exchange    renameat2 refuses RENAME_EXCHANGE alone (EINVAL), as on
//                  the many file systems with no-replace renames only;
//   emfile_once    the first unnamed file finds no descriptor free;
//   no_copy_range  the kernel copies between no two files (EXDEV), and
//   no_splice      moves nothing out of a pipe into a file (EINVAL);
//   failing_close  closing a file the tool made for an output fails (after
//                  closing it), as on a network file system that reports a
//                  late write error, which statfs then says it is (NFS);
//   hidden_names_taken  every hidden name the tool would make a file at
//                  is taken (O_EXCL answers EEXIST);
//   first_hidden_name_taken  the first one is, as another's file would be;
//   close_fails_locally  the same, on the file system as it is, whose close
//                  the tool counts on (tmpfs, ext4...);
//   name_moves_on  around the first exchange onto a name that is not one of
//                  the tool's hidden names, another process renames its own
//                  files there: neighbour-1 just before, neighbour-2 just
//                  after (where there is none, it removes the name then);
//   no_room_count  statvfs counts no blocks, free or in all, as fusefat
//                  does on an image of 256 MiB;
//   fifo_seems_regular  stat answers a regular file for a FIFO whose name
//                  holds "swapped", as where a FIFO took a file's place
//                  since the tool looked;
//   unstable_inode once the tool has made its first output file, stat and
//                  lstat give every file another inode number, as a file
//                  system does that numbers a file anew each time it loads
//                  it (FAT, some FUSE): unless a descriptor of the process
//                  holds it open, which keeps it loaded.
// Each call is wrapped under every name the tool may reach it by (stat and
// stat64 alike: the tool is built with 64-bit file offsets).
#include <cerrno>
#include <cstdarg>
#include <cstdio>  // RENAME_EXCHANGE
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

bool fault(const char* name)
{
    const char* faults = std::getenv("SND_EXTRACTOR_FAULTS");
    return faults != nullptr && std::strstr(faults, name) != nullptr;
}

// A call's answer where it fails with `error`.
int refuse(int error)
{
    errno = error;
    return -1;
}

// The descriptors of the files the tool made for its outputs, and whether
// it made any yet.
bool made_for_output[4096];
bool made_any = false;

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int open_with_faults(const char* path, int flags, va_list args)
{
    bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
    mode_t mode = (flags & O_CREAT) != 0 || unnamed ? va_arg(args, mode_t) : 0;
    static bool failed_once = false;
    if (unnamed && (fault("no_tmpfile") || (fault("emfile_once") && !failed_once))) {
        failed_once = true;
        return refuse(fault("no_tmpfile") ? EOPNOTSUPP : EMFILE);
    }
    const char* base = std::strrchr(path, '/') != nullptr ? std::strrchr(path, '/') + 1 : path;
    static bool taken_once = false;
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) && std::strncmp(base, ".snd_extractor-", 15) == 0 &&
        (fault("hidden_names_taken") || (fault("first_hidden_name_taken") && !taken_once))) {
        taken_once = true;
        return refuse(EEXIST);
    }
    int fd = next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
    if (fd >= 0 && fd < 4096)
        made_for_output[fd] = unnamed || (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
    made_any = made_any || (fd >= 0 && made_for_output[fd]);
    return fd;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    int fd = open_with_faults(path, flags, args);
    va_end(args);
    return fd;
}

// The same function under its large-file name (one and the same on 64-bit
// systems, where the tests run).
extern "C" int open64(const char* path, int flags, ...) __attribute__((alias("open")));

extern "C" int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags)
{
    if (fault("no_hard_link") ||
        (fault("no_link") && ((flags & AT_EMPTY_PATH) != 0 || std::strncmp(from, "/proc/", 6) == 0)))
        return refuse(fault("no_hard_link") ? EPERM : ENOENT);
    return next<int (*)(int, const char*, int, const char*, int)>("linkat")(from_dir, from, to_dir, to, flags);
}

extern "C" int link(const char* from, const char* to)
{
    return linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

extern "C" int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags)
{
    if ((flags != 0 && fault("no_rename2")) || ((flags & RENAME_EXCHANGE) != 0 && fault("no_exchange")))
        return refuse(EINVAL);
    const auto real = next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    static bool moved = false;
    if ((flags & RENAME_EXCHANGE) == 0 || !fault("name_moves_on") || moved ||
        std::strncmp(to, ".snd_extractor-", 15) == 0)
        return real(from_dir, from, to_dir, to, flags);
    moved = true;
    std::rename("neighbour-1", to);
    const int result = real(from_dir, from, to_dir, to, flags);
    if (std::rename("neighbour-2", to) != 0)
        unlink(to);
    return result;
}

namespace {

// Whether a descriptor of this process holds the file `status` open.
bool held_open(const struct stat& status)
{
    DIR* fds = opendir("/proc/self/fd");
    bool held = false;
    struct stat open_file;
    for (dirent* entry; fds != nullptr && !held && (entry = readdir(fds)) != nullptr;)
        held = entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(fds) &&
               fstat(std::atoi(entry->d_name), &open_file) == 0 && open_file.st_dev == status.st_dev &&
               open_file.st_ino == status.st_ino;
    if (fds != nullptr)
        closedir(fds);
    return held;
}

int renumber(int result, struct stat* status)
{
    if (result == 0 && made_any && fault("unstable_inode") && !held_open(*status))
        status->st_ino ^= 0x5A5A0000;
    return result;
}

}  // namespace

extern "C" int stat(const char* path, struct stat* status)
{
    int result = renumber(next<int (*)(const char*, struct stat*)>("stat")(path, status), status);
    if (result == 0 && S_ISFIFO(status->st_mode) && fault("fifo_seems_regular") && std::strstr(path, "swapped") != nullptr)
        status->st_mode = (status->st_mode & ~S_IFMT) | S_IFREG;
    return result;
}

extern "C" int lstat(const char* path, struct stat* status)
{
    return renumber(next<int (*)(const char*, struct stat*)>("lstat")(path, status), status);
}

// The same functions under their large-file names (one and the same on
// 64-bit systems, where the tests run).
extern "C" int stat64(const char* path, struct stat64* status)
{
    return stat(path, reinterpret_cast<struct stat*>(status));
}

extern "C" int lstat64(const char* path, struct stat64* status)
{
    return lstat(path, reinterpret_cast<struct stat*>(status));
}
extern "C" int close(int fd)
{
    bool output = fd >= 0 && fd < 4096 && made_for_output[fd];
    if (output)
        made_for_output[fd] = false;
    int result = next<int (*)(int)>("close")(fd);
    return result == 0 && output && (fault("failing_close") || fault("close_fails_locally")) ? refuse(EIO) : result;
}

// At the tool's exit, a file it made that a descriptor still holds is a
// leak, said on standard error, which every row checks: whatever fault is
// asked for, or none.
namespace {

__attribute__((destructor)) void report_leaks()
{
    for (int fd = 3; fd < 4096; ++fd)
        if (made_for_output[fd] && fcntl(fd, F_GETFD) >= 0)
            dprintf(2, "the tool left descriptor %d open\n", fd);
}

}  // namespace

extern "C" int statfs(const char* path, struct statfs* status)
{
    int result = next<int (*)(const char*, struct statfs*)>("statfs")(path, status);
    if (result == 0 && fault("failing_close"))
        status->f_type = 0x6969;  // NFS_SUPER_MAGIC
    return result;
}

extern "C" int statfs64(const char* path, struct statfs64* status)
{
    return statfs(path, reinterpret_cast<struct statfs*>(status));
}

extern "C" int statvfs(const char* path, struct statvfs* status)
{
    int result = next<int (*)(const char*, struct statvfs*)>("statvfs")(path, status);
    if (result == 0 && fault("no_room_count"))
        status->f_blocks = status->f_bfree = status->f_bavail = 0;
    return result;
}

extern "C" int statvfs64(const char* path, struct statvfs64* status)
{
    return statvfs(path, reinterpret_cast<struct statvfs*>(status));
}

extern "C" ssize_t copy_file_range(int in, off64_t* in_at, int out, off64_t* out_at, std::size_t size, unsigned flags)
{
    if (fault("no_copy_range"))
        return refuse(EXDEV);
    return next<ssize_t (*)(int, off64_t*, int, off64_t*, std::size_t, unsigned)>("copy_file_range")(
        in, in_at, out, out_at, size, flags);
}

extern "C" ssize_t splice(int in, off64_t* in_at, int out, off64_t* out_at, std::size_t size, unsigned flags)
{
    if (fault("no_splice"))
        return refuse(EINVAL);
    return next<ssize_t (*)(int, off64_t*, int, off64_t*, std::size_t, unsigned)>("splice")(in, in_at, out, out_at,
                                                                                           size, flags);
}
