// The archive walk: reads the index entry by entry and copies each entry's
// bytes into a file of its own in the working directory.
//
// The index streams through the archive's FILE buffer; entry data is read with
// positional reads on the same file, so the stream's position never moves.
// An output file only ever appears at its name holding the entry's complete
// bytes: a free name is created exclusively and removed again if the copy
// fails; anything already at the name is replaced by renaming a finished
// temporary file over it.
#include "sound_archive.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

namespace {

constexpr std::size_t copy_buffer_size = 64 * 1024;

struct file_closer {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// ---- Platform file operations -------------------------------------------

bool same_file(const file_identity& a, const file_identity& b)
{
    return a.device == b.device && a.inode == b.inode;
}

#ifdef _WIN32
// Windows has no inode numbers in stat: a file is its volume and file index.
int identify_handle(HANDLE handle, file_identity* identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return -1;
    identity->device = info.dwVolumeSerialNumber;
    identity->inode = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    return 0;
}

int identify_stream(std::FILE* stream, file_identity* identity)
{
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fileno(stream))), identity);
}
#else
file_identity identity_of(const struct stat& status)
{
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

int identify_stream(std::FILE* stream, file_identity* identity)
{
    struct stat status;
    if (fstat(fileno(stream), &status) != 0)
        return -1;
    *identity = identity_of(status);
    return 0;
}
#endif

// What is at `path` itself: a symbolic link is not followed. Returns 0, or -1
// when nothing is there.
int inspect_name(const char* path, file_identity* identity, bool* is_directory)
{
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return -1;
    *is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return *is_directory ? 0 : identify_file(path, identity);
#else
    struct stat status;
    if (lstat(path, &status) != 0)
        return -1;
    *is_directory = S_ISDIR(status.st_mode);
    *identity = identity_of(status);
    return 0;
#endif
}

// Whether the file system takes `name` as a plain file name in the working
// directory. On Windows ':' names a stream or a drive, device names open a
// device whatever extension follows them, and a trailing dot or space is
// dropped, so that the file would get another name.
bool is_plain_name(const char* name)
{
#ifdef _WIN32
    std::size_t length = std::strlen(name);
    if (std::strchr(name, ':') != nullptr || (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')))
        return false;
    std::string stem(name, std::strcspn(name, "."));
    for (char& c : stem)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (stem == device)
            return false;
    bool numbered = stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9';
    return !(numbered && (stem.starts_with("COM") || stem.starts_with("LPT")));
#else
    (void)name;
    return true;
#endif
}

// Creates `path` only if nothing exists there, with the ordinary mode
// (0666 less the umask). Returns the descriptor, or -1 with errno set.
int create_exclusive(const char* path)
{
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_BINARY, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Moves the finished file `from` over `to`, replacing what is there.
int replace_file(const char* from, const char* to)
{
#ifdef _WIN32
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
#else
    return std::rename(from, to);
#endif
}

// Reads up to `size` bytes at absolute position `offset` of the archive
// without moving the stream's position. Returns the count read, or -1.
long long read_at(std::FILE* stream, char* buffer, std::size_t size, long long offset)
{
#ifdef _WIN32
    // No positional read that leaves the C runtime's own position alone:
    // seek away, read, and seek back.
    long long position = _ftelli64(stream);
    if (position < 0 || _fseeki64(stream, offset, SEEK_SET) != 0)
        return -1;
    std::size_t count = std::fread(buffer, 1, size, stream);
    bool failed = std::ferror(stream) != 0;
    std::clearerr(stream);
    if (_fseeki64(stream, position, SEEK_SET) != 0 || (failed && count == 0))
        return -1;
    return static_cast<long long>(count);
#else
    ssize_t count;
    do {
        count = pread(fileno(stream), buffer, size, static_cast<off_t>(offset));
    } while (count < 0 && errno == EINTR);
    return count;
#endif
}

int write_all(int fd, const char* buffer, std::size_t size)
{
    while (size > 0) {
        auto count = write(fd, buffer, static_cast<unsigned>(size));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return -1;
        buffer += count;
        size -= static_cast<std::size_t>(count);
    }
    return 0;
}

// Copies through one stack buffer: the road where the kernel cannot copy.
int copy_through_buffer(std::FILE* stream, long long offset, unsigned long long size, int out)
{
    char buffer[copy_buffer_size];
    while (size > 0) {
        std::size_t want = size < copy_buffer_size ? static_cast<std::size_t>(size) : copy_buffer_size;
        long long count = read_at(stream, buffer, want, offset);
        if (count <= 0)  // an error, or the archive ends inside the entry
            return -1;
        if (write_all(out, buffer, static_cast<std::size_t>(count)) != 0)
            return -1;
        offset += count;
        size -= static_cast<unsigned long long>(count);
    }
    return 0;
}

// Copies `size` bytes at `offset` of the archive to `out`. Returns 0 only when
// every byte was copied.
int copy_range(std::FILE* stream, long long offset, unsigned long long size, int out)
{
#ifdef __linux__
    // Let the kernel move the bytes; fall back to a buffer where it cannot
    // (another file system, a file type it does not handle, an old kernel).
    constexpr std::size_t max_chunk = std::size_t{1} << 30;
    off_t in_offset = static_cast<off_t>(offset);
    while (size > 0) {
        std::size_t want = size < max_chunk ? static_cast<std::size_t>(size) : max_chunk;
        ssize_t count = copy_file_range(fileno(stream), &in_offset, out, nullptr, want, 0);
        if (count > 0) {
            size -= static_cast<unsigned long long>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP && errno != ENOSYS &&
            errno != EPERM)
            return -1;
        break;  // 0 bytes before the end, or unsupported: let the buffer decide
    }
    offset = in_offset;
#endif
    return copy_through_buffer(stream, offset, size, out);
}

// Copies the entry into the new, empty file `out` and closes it. Returns 0
// only when the file holds every byte.
int fill_and_close(std::FILE* stream, std::int32_t data_offset, std::uint32_t data_size, int out)
{
    int status = copy_range(stream, data_offset, data_size, out);
    if (close(out) != 0)
        status = -1;
    return status;
}

// Whatever exists at `name` may be replaced: not a directory, and neither the
// archive being read nor another archive of the run, however it is reached.
bool may_replace(const char* name, std::FILE* stream, std::span<const file_identity> archives)
{
    file_identity named[2];
    bool is_directory = false;
    if (inspect_name(name, &named[0], &is_directory) != 0 || is_directory)
        return false;
    if (identify_file(name, &named[1]) != 0)  // where a link leads, if anywhere
        named[1] = named[0];
    file_identity archive_read;
    if (identify_stream(stream, &archive_read) != 0)
        return false;
    for (const file_identity& identity : named) {
        if (same_file(identity, archive_read))
            return false;
        for (const file_identity& archive : archives)
            if (same_file(identity, archive))
                return false;
    }
    return true;
}

// Creates a fresh temporary file in the working directory, naming it in
// `temp_name`. Returns its descriptor, or -1.
int create_temporary(char (&temp_name)[64])
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(temp_name, sizeof temp_name, ".snd_extractor-%ld-%d.tmp", static_cast<long>(getpid()),
                      attempt);
        int fd = create_exclusive(temp_name);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// ---- Reading the archive --------------------------------------------------

bool stream_failed(std::FILE* stream)
{
    return std::ferror(stream) != 0 || std::feof(stream) != 0;
}

bool read_uint32(std::FILE* stream, std::uint32_t* value)
{
    unsigned char bytes[4];
    if (std::fread(bytes, 1, sizeof bytes, stream) != sizeof bytes)
        return false;
    *value = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
             std::uint32_t{bytes[3]} << 24;
    return true;
}

bool read_int32(std::FILE* stream, std::int32_t* value)
{
    std::uint32_t bits;
    if (!read_uint32(stream, &bits))
        return false;
    *value = static_cast<std::int32_t>(bits);
    return true;
}

// Failures of the archive itself go to standard error, after everything that
// was printed before them.
void report_archive_failure(const char* format, const char* archive_path)
{
    std::fflush(stdout);
    std::fprintf(stderr, format, archive_path);
}

// Starts an entry's progress line. On a terminal, control bytes of the stored
// path are shown as '?', and the text is shown before the copy begins.
void announce_entry(const char* entry_name, bool to_terminal)
{
    char shown[entry_name_width + 1];
    if (to_terminal) {
        std::size_t length = 0;
        for (; entry_name[length] != '\0' && length < entry_name_width; ++length) {
            unsigned char byte = static_cast<unsigned char>(entry_name[length]);
            shown[length] = byte < 0x20 || byte == 0x7F ? '?' : entry_name[length];
        }
        shown[length] = '\0';
    }
    std::printf("extract [%s]...", to_terminal ? shown : entry_name);
    if (to_terminal)
        std::fflush(stdout);
}

bool stdout_is_terminal()
{
    return isatty(fileno(stdout)) != 0;
}

// Reads the header and walks the index of an opened archive.
int walk_index(const char* archive_path, std::FILE* stream, std::span<const file_identity> archives)
{
    char signature[signature_width + 1];
    read_str(stream, signature, signature_width);
    std::int32_t entry_count;
    if (stream_failed(stream) || !read_int32(stream, &entry_count)) {
        report_archive_failure("failed to read %s.\n", archive_path);
        return -1;
    }
    std::printf("%ld sounds in %s.\n", static_cast<long>(entry_count), archive_path);

    bool to_terminal = stdout_is_terminal();
    for (std::int32_t index = 0; index < entry_count; ++index) {
        std::int32_t data_offset;
        std::uint32_t data_size;
        char entry_name[entry_name_width + 1];
        if (!read_int32(stream, &data_offset) || !read_uint32(stream, &data_size) ||
            (read_str(stream, entry_name, entry_name_width), stream_failed(stream))) {
            // The archive ends inside this entry: nothing more to walk.
            report_archive_failure("failed to read %s.\n", archive_path);
            return -1;
        }
        announce_entry(entry_name, to_terminal);
        int status = extract_wav(split_file_name(entry_name), stream, data_offset, data_size, archives);
        std::fputs(status == 0 ? "done.\n" : "failed.\n", stdout);
    }
    return 0;
}

}  // namespace

int identify_file(const char* path, file_identity* identity)
{
#ifdef _WIN32
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    int status = identify_handle(handle, identity);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return status;
#else
    struct stat status;
    if (stat(path, &status) != 0)
        return -1;
    *identity = identity_of(status);
    return 0;
#endif
}

char* read_str(std::FILE* stream, char* field_buffer, std::size_t width)
{
    std::size_t count = std::fread(field_buffer, 1, width, stream);
    field_buffer[count] = '\0';
    return field_buffer;
}

const char* split_file_name(const char* entry_name)
{
    const char* name = entry_name + std::strlen(entry_name);
#ifdef _WIN32
    while (name > entry_name && name[-1] != '/' && name[-1] != '\\')  // both separate there
#else
    while (name > entry_name && name[-1] != '/')
#endif
        --name;
    return name;
}

int extract_wav(const char* output_name, std::FILE* stream, std::int32_t data_offset, std::uint32_t data_size,
                std::span<const file_identity> archives)
{
    if (data_offset < 0 && data_size > 0)
        return -1;  // no byte of the archive lies there
    if (!is_plain_name(output_name))
        return -1;

    // A free name: create it, and remove it again if the copy falls short.
    int out = create_exclusive(output_name);
    if (out >= 0) {
        if (fill_and_close(stream, data_offset, data_size, out) == 0)
            return 0;
        std::remove(output_name);
        return -1;
    }
    if (errno != EEXIST || !may_replace(output_name, stream, archives))
        return -1;

    // Something is there already: it stays until a complete copy replaces it.
    char temp_name[64];
    out = create_temporary(temp_name);
    if (out < 0)
        return -1;
    if (fill_and_close(stream, data_offset, data_size, out) == 0 && replace_file(temp_name, output_name) == 0)
        return 0;
    std::remove(temp_name);
    return -1;
}

int load_snd_zqa(const char* archive_path, std::span<const file_identity> archives)
{
    file_ptr stream(std::fopen(archive_path, "rb"));
    if (!stream) {
        report_archive_failure("failed to open %s.\n", archive_path);
        return -1;
    }
    return walk_index(archive_path, stream.get(), archives);
}
