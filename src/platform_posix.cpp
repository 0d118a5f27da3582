// The platform contract on Linux and other POSIX systems.
#include "platform.h"

#include <cerrno>
#include <csignal>

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

}  // namespace

void start_platform()
{
    std::signal(SIGXFSZ, SIG_IGN);
}

int identify_file(const char* path, file_identity* identity)
{
    struct stat status;
    return identity_from(stat(path, &status), status, identity);
}

int identify_stream(std::FILE* stream, file_identity* identity)
{
    struct stat status;
    return identity_from(fstat(fileno(stream), &status), status, identity);
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

int create_exclusive(const char* path)
{
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int replace_file(const char* from, const char* to)
{
    return std::rename(from, to);
}

int remove_name(const char* path)
{
    return unlink(path);
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
        ssize_t count = copy_file_range(fileno(stream), &in_offset, out, nullptr,
                                        static_cast<std::size_t>(*size < max_chunk ? *size : max_chunk), 0);
        if (count > 0) {
            *size -= static_cast<unsigned long long>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        // Errors that only say "not here" leave the rest to the buffer, which
        // also finds out whether the archive really ends early.
        if (count < 0 && errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP && errno != ENOSYS &&
            errno != EPERM)
            status = -1;
        break;
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
