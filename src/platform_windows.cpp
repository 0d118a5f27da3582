// The platform contract on Windows (built with MinGW-w64).
//
// The tool works on byte strings. Here they are UTF-8: the command line
// arrives in UTF-16 and is handed on in UTF-8, and every name goes to the
// system's Unicode (W) calls. A stored name that is not valid UTF-8 is read
// in the ANSI code page instead, as the narrow calls would.
#include "platform.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

// A name for the system's Unicode calls: UTF-8 where it is valid, else the
// ANSI code page.
std::wstring to_wide(const char* text)
{
    for (UINT code_page : {CP_UTF8, CP_ACP}) {
        DWORD flags = code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        int length = MultiByteToWideChar(code_page, flags, text, -1, nullptr, 0);
        if (length > 0) {
            std::wstring wide(static_cast<std::size_t>(length), L'\0');
            MultiByteToWideChar(code_page, flags, text, -1, wide.data(), length);
            wide.pop_back();  // the terminator
            return wide;
        }
    }
    return {};
}

std::string to_utf8(const wchar_t* text)
{
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length > 0 ? length : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), length, nullptr, nullptr);
    bytes.pop_back();
    return bytes;
}

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
wchar_t pending_name[temporary_name_size];
std::atomic<bool> has_pending{false};

// Whether standard output and standard error are consoles: asked once, at
// start, not for every line.
bool stdout_is_console = false;
bool stderr_is_console = false;

bool is_console(DWORD std_handle)
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(std_handle), &mode) != 0;
}

BOOL WINAPI on_interrupt(DWORD)
{
    if (has_pending)
        DeleteFileW(pending_name);  // opened with delete sharing: gone once closed
    return FALSE;                   // the default handler then ends the process
}

}  // namespace

// The program starts here: its arguments go on to the tool in UTF-8, with
// wildcards already expanded by the C runtime.
extern "C" int wmain(int argc, wchar_t* wide_argv[])
{
    std::vector<std::string> arguments;
    for (int arg = 0; arg < argc; ++arg)
        arguments.push_back(to_utf8(wide_argv[arg]));
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return snd_extractor(argc, argv.data());
}

void start_platform()
{
    SetConsoleCtrlHandler(on_interrupt, TRUE);
    stdout_is_console = is_console(STD_OUTPUT_HANDLE);
    stderr_is_console = is_console(STD_ERROR_HANDLE);
}

std::FILE* open_archive(const char* path)
{
    return _wfopen(to_wide(path).c_str(), L"rb");
}

// On a console, text is written as Unicode; into a file or a pipe, as the
// bytes it is.
void write_text(std::FILE* stream, const char* text)
{
    if (!(stream == stdout ? stdout_is_console : stream == stderr && stderr_is_console)) {
        std::fputs(text, stream);
        return;
    }
    std::wstring wide = to_wide(text);
    std::fflush(stream);
    DWORD written;
    WriteConsoleW(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), wide.data(),
                  static_cast<DWORD>(wide.size()), &written, nullptr);
}

int identify_file(const char* path, file_identity* identity)
{
    HANDLE handle = CreateFileW(to_wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    int status = identify_handle(handle, identity);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return status;
}

int identify_stream(std::FILE* stream, file_identity* identity, long long* size)
{
    struct _stat64 status;
    bool regular = _fstat64(_fileno(stream), &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
    *size = regular ? static_cast<long long>(status.st_size) : -1;
    return identify_descriptor(_fileno(stream), identity);
}

int identify_descriptor(int fd, file_identity* identity)
{
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), identity);
}

// A link to a folder counts as a folder here; a link to a file is
// identified by the file it leads to, and one that leads nowhere reads as
// nothing.
name_kind inspect_name(const char* path, file_identity* identity)
{
    DWORD attributes = GetFileAttributesW(to_wide(path).c_str());
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
int create_exclusive(const char* path)
{
    HANDLE handle = CreateFileW(to_wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
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
    has_pending = false;
    wcsncpy(pending_name, to_wide(path).c_str(), temporary_name_size - 1);
    has_pending = true;
    return fd;
}

int replace_file(const char* from, const char* to)
{
    if (!MoveFileExW(to_wide(from).c_str(), to_wide(to).c_str(), MOVEFILE_REPLACE_EXISTING))
        return -1;
    has_pending = false;
    return 0;
}

int remove_if_same(const char* path, const file_identity& identity)
{
    file_identity there;
    int result = -1;
    std::wstring wide = to_wide(path);
    if (inspect_name(path, &there) == name_kind::other && same_file(there, identity) && DeleteFileW(wide.c_str()))
        result = 0;
    if (has_pending && wide == pending_name)
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
    return stdout_is_console;
}
