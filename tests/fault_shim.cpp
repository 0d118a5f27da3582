// Loaded into the tool with LD_PRELOAD, this gives it a system that fails in
// the ways SND_EXTRACTOR_FAULTS names (a comma-separated list), so that the
// tool's other roads run on an ordinary Linux machine too:
//   no_tmpfile     no file system has unnamed files (O_TMPFILE);
//   no_link        an unnamed file cannot be linked to a name: linking by
//                  descriptor is refused and /proc is absent;
//   failing_close  closing a file the tool made for an output fails (after
//                  closing it), as on a disk that reports a late write error;
//   unstable_inode stat and lstat give a file another inode number from the
//                  second time they see it on, as a file system does that
//                  numbers a file anew each time it loads it (FAT, some
//                  FUSE); a file held open keeps its number (fstat).
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

bool fault(const char* name)
{
    const char* faults = std::getenv("SND_EXTRACTOR_FAULTS");
    return faults != nullptr && std::strstr(faults, name) != nullptr;
}

// The descriptors of the files the tool made for its outputs.
bool made_for_output[4096];

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int open_with_faults(const char* path, int flags, va_list args)
{
    bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
    mode_t mode = (flags & O_CREAT) != 0 || unnamed ? va_arg(args, mode_t) : 0;
    if (unnamed && fault("no_tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int fd = next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
    if (fd >= 0 && fd < 4096)
        made_for_output[fd] = unnamed || (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
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
    if (fault("no_link") && ((flags & AT_EMPTY_PATH) != 0 || std::strncmp(from, "/proc/", 6) == 0)) {
        errno = ENOENT;
        return -1;
    }
    return next<int (*)(int, const char*, int, const char*, int)>("linkat")(from_dir, from, to_dir, to, flags);
}

namespace {

// The inode numbers seen so far.
ino_t seen[1024];
std::size_t seen_count = 0;

int renumber(int result, struct stat* status)
{
    if (result != 0 || !fault("unstable_inode"))
        return result;
    for (std::size_t at = 0; at < seen_count; ++at)
        if (seen[at] == status->st_ino) {
            status->st_ino ^= 0x5A5A0000;
            return result;
        }
    if (seen_count < 1024)
        seen[seen_count++] = status->st_ino;
    return result;
}

}  // namespace

extern "C" int stat(const char* path, struct stat* status)
{
    return renumber(next<int (*)(const char*, struct stat*)>("stat")(path, status), status);
}

extern "C" int lstat(const char* path, struct stat* status)
{
    return renumber(next<int (*)(const char*, struct stat*)>("lstat")(path, status), status);
}

extern "C" int close(int fd)
{
    bool output = fd >= 0 && fd < 4096 && made_for_output[fd];
    if (output)
        made_for_output[fd] = false;
    int result = next<int (*)(int)>("close")(fd);
    if (result == 0 && output && fault("failing_close")) {
        errno = EIO;
        result = -1;
    }
    return result;
}
