// Loaded into the tool with LD_PRELOAD, this makes every file system one
// without unnamed files (O_TMPFILE), as some file systems and other systems
// are, so that the tool's hidden-temporary-name road runs on Linux too.
#include <cerrno>
#include <cstdarg>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>

namespace {

int open_without_tmpfile(const char* path, int flags, va_list args)
{
    mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    using open_function = int (*)(const char*, int, ...);
    return reinterpret_cast<open_function>(dlsym(RTLD_NEXT, "open"))(path, flags, mode);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    int fd = open_without_tmpfile(path, flags, args);
    va_end(args);
    return fd;
}

// The same function under its large-file name (one and the same on 64-bit
// systems, where the tests run).
extern "C" int open64(const char* path, int flags, ...) __attribute__((alias("open")));
