// The platform contract on Windows (built with MinGW-w64).
#include "platform.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <process.h>
#include <windows.h>

namespace {

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

}  // namespace

void start_platform()
{
}

int identify_file(const char* path, file_identity* identity)
{
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    int status = identify_handle(handle, identity);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return status;
}

int identify_stream(std::FILE* stream, file_identity* identity)
{
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), identity);
}

// A link to a folder counts as a folder here; a link to a file is
// identified by the file it leads to, and one that leads nowhere reads as
// nothing.
name_kind inspect_name(const char* path, file_identity* identity)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return name_kind::nothing;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return name_kind::directory;
    return identify_file(path, identity) == 0 ? name_kind::other : name_kind::nothing;
}

// ':' names a stream or a drive, device names open a device whatever
// extension follows them, and a trailing dot or space is dropped, so that
// the file would get another name.
bool is_plain_name(const char* name)
{
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
}

bool is_separator(char byte)
{
    return byte == '/' || byte == '\\';
}

int create_exclusive(const char* path)
{
    return _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

int replace_file(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

int remove_name(const char* path)
{
    return DeleteFileA(path) ? 0 : -1;
}

// There is no positional read that leaves the C runtime's own position
// alone: seek away, read, and seek back.
long long read_at(std::FILE* stream, char* buffer, std::size_t size, long long offset)
{
    long long position = _ftelli64(stream);
    if (position < 0 || _fseeki64(stream, offset, SEEK_SET) != 0)
        return -1;
    std::size_t count = std::fread(buffer, 1, size, stream);
    bool failed = std::ferror(stream) != 0;
    std::clearerr(stream);
    if (_fseeki64(stream, position, SEEK_SET) != 0 || (failed && count == 0))
        return -1;
    return static_cast<long long>(count);
}

int copy_in_kernel(std::FILE*, long long*, unsigned long long*, int)
{
    return 0;  // every byte goes through the buffer here
}

long long write_some(int fd, const char* buffer, std::size_t size)
{
    return _write(fd, buffer, static_cast<unsigned>(size < (1u << 30) ? size : (1u << 30)));
}

int close_file(int fd)
{
    return _close(fd);
}

long process_id()
{
    return static_cast<long>(_getpid());
}

bool stdout_is_terminal()
{
    return _isatty(_fileno(stdout)) != 0;
}
