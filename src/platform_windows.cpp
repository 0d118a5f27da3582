// The platform contract on Windows (built with MinGW-w64).
#include "platform.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
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

// The temporary file that an interruption removes. The console's control
// handler runs on a thread of its own: it reads the name only while
// `has_pending` is set, and the name is written only while it is clear.
char pending_name[temporary_name_size];
std::atomic<bool> has_pending{false};

BOOL WINAPI on_interrupt(DWORD)
{
    if (has_pending)
        DeleteFileA(pending_name);  // opened with delete sharing: gone once closed
    return FALSE;                   // the default handler then ends the process
}

}  // namespace

void start_platform()
{
    SetConsoleCtrlHandler(on_interrupt, TRUE);
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
    return identify_descriptor(_fileno(stream), identity);
}

int identify_descriptor(int fd, file_identity* identity)
{
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), identity);
}

long long regular_file_size(std::FILE* stream)
{
    struct _stat64 status;
    if (_fstat64(_fileno(stream), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG)
        return -1;
    return static_cast<long long>(status.st_size);
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

// A device name opens the device whatever extension or trailing spaces
// follow it: "nul .wav" is NUL. The stem is the part before the first dot,
// with trailing spaces removed.
bool is_device_name(const char* name)
{
    std::string stem(name, std::strcspn(name, "."));
    stem.erase(stem.find_last_not_of(' ') + 1);
    for (char& c : stem)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (stem == device)
            return true;
    if (!stem.starts_with("COM") && !stem.starts_with("LPT"))
        return false;
    std::string number = stem.substr(3);
    // 1-9, and the superscripts 1-3 in UTF-8 or in the ANSI code page.
    for (const char* digit : {"1", "2", "3", "4", "5", "6", "7", "8", "9", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3",
                              "\xB9", "\xB2", "\xB3"})
        if (number == digit)
            return true;
    return false;
}

// ':' names a stream or a drive, a trailing dot or space is dropped, so
// that the file would get another name, and no file name holds a control
// character.
bool is_plain_name(const char* name)
{
    std::size_t length = std::strlen(name);
    if (std::strchr(name, ':') != nullptr || (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')))
        return false;
    for (std::size_t at = 0; at < length; ++at)
        if (static_cast<unsigned char>(name[at]) < 0x20 || name[at] == 0x7F)
            return false;
    return !is_device_name(name);
}

bool is_separator(char byte)
{
    return byte == '/' || byte == '\\';
}

int create_unnamed()
{
    return -1;  // no unnamed files here: a hidden temporary name serves
}

int link_unnamed(int, const char*, bool)
{
    errno = ENOSYS;
    return -1;
}

// Opened with delete sharing, so that an interruption can remove the name
// while the file is still open.
int create_exclusive(const char* path, bool temporary)
{
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
        return -1;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return -1;
    }
    if (temporary) {
        has_pending = false;
        std::strncpy(pending_name, path, sizeof pending_name - 1);
        has_pending = true;
    }
    return fd;
}

int replace_file(const char* from, const char* to)
{
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING))
        return -1;
    has_pending = false;
    return 0;
}

int remove_if_same(const char* path, const file_identity& identity)
{
    file_identity there;
    int result = -1;
    if (inspect_name(path, &there) == name_kind::other && same_file(there, identity) && DeleteFileA(path))
        result = 0;
    if (has_pending && std::strcmp(pending_name, path) == 0)
        has_pending = false;
    return result;
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
    return static_cast<long>(GetCurrentProcessId());
}

// A console, not merely a character device: _isatty also says yes for NUL.
bool stdout_is_terminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}
