// The OS contract on Windows (platform.h, archive_io.h, output_file.h,
// whose stages output_file below follows), built with MinGW-w64; the
// program starts in windows_main.cpp. Windows has no unnamed files, and an
// interruption ends the process as a kill does.
//
// The tool works on byte strings. Here they are UTF-8: the command line
// arrives in UTF-16 and is handed on in UTF-8, and every name goes to the
// system's Unicode (W) calls. A stored name that is not valid UTF-8 is read
// in the ANSI code page instead, as the narrow calls would.
#define _CRT_RAND_S  // rand_s, the system's random source: before any header brings in stdlib.h
#include <cstdlib>

#include "platform.h"

#include "archive_io.h"
#include "output_file.h"
#include "windows_text.h"

#include <cctype>
#include <cstddef>
#include <cwchar>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <tlhelp32.h>

namespace {

// The longest path the system's Unicode calls take, in UTF-16 units.
constexpr int longest_path = 32767;

// Text for the system's Unicode calls in room of its own: UTF-8 where it is
// valid, else read in the ANSI code page, as the narrow calls would; empty
// where it does not fit. It lives on the stack of the call that needs it,
// so that a sound's names allocate nothing: 64 KiB each, and no road holds
// more than four at once, well inside the 2 MiB stack.
struct wide_path {
    wchar_t text[longest_path + 1];
    int length = 0;  // without the NUL

    wide_path() { text[0] = L'\0'; }
    explicit wide_path(const char* bytes, const wchar_t* prefix = L"")
    {
        append(prefix);
        for (UINT code_page : {CP_UTF8, CP_ACP}) {
            const int count = MultiByteToWideChar(code_page, code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0, bytes, -1,
                                                  text + length, longest_path + 1 - length);
            if (count > 0) {
                length += count - 1;
                return;
            }
        }
        length = 0;
        text[0] = L'\0';
    }
    void append(const wchar_t* more)
    {
        for (; *more != L'\0' && length < longest_path; ++more)
            text[length++] = *more;
        text[length] = L'\0';
    }
    bool starts_with(const wchar_t* start) const { return std::wcsncmp(text, start, std::wcslen(start)) == 0; }
    const wchar_t* c_str() const { return text; }
};

// `full` (a full path: C:\..., \\server\..., or \\?\... as it was) behind
// `prefix` (\\?\ or the native \??\), a UNC path as UNC\server\..., in `out`.
void prefixed(const wide_path& full, const wchar_t* prefix, wide_path* out)
{
    out->append(prefix);
    if (full.starts_with(L"\\\\?\\"))
        return out->append(full.text + 4);
    if (full.starts_with(L"\\\\"))
        out->append(L"UNC\\");
    out->append(full.text + (full.starts_with(L"\\\\") ? 2 : 0));
}

// The full path of `path`, as GetFullPathNameW makes it, in `out`.
void full_path(const wchar_t* path, wide_path* out)
{
    const DWORD length = GetFullPathNameW(path, longest_path + 1, out->text, nullptr);
    out->length = length <= longest_path ? static_cast<int>(length) : 0;
    out->text[out->length] = L'\0';
}

// An archive's path for the system's Unicode calls: one that a wildcard's
// listing spelled in the \\?\ form, with its folder made full, so that the
// system changes nothing of it, a trailing space or dot, or a device name
// (com1.zqa) included; any other as it is.
wide_path system_path(const archive_path& path)
{
    wide_path wide(path.bytes);
    if (!path.listed)
        return wide;
    int cut = wide.length;
    while (cut > 0 && std::wcschr(L"\\/:", wide.text[cut - 1]) == nullptr)
        --cut;
    wchar_t name[256];  // a listed name: at most 255 units
    if (wide.length - cut >= 256)
        return wide;
    std::wcscpy(name, wide.text + cut);
    std::wcscpy(wide.text + cut, cut > 0 ? L"" : L".");
    wide_path folder;
    full_path(wide.text, &folder);
    if (folder.length > 0 && folder.text[folder.length - 1] != L'\\')
        folder.append(L"\\");
    folder.append(name);
    wide.length = 0;
    prefixed(folder, L"\\\\?\\", &wide);
    return wide;
}

}  // namespace

std::wstring to_wide(const char* text)
{
    return wide_path(text).text;
}

std::string to_utf8(const std::wstring& text)
{
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length > 0 ? length : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), length, nullptr, nullptr);
    bytes.pop_back();  // the terminator
    return bytes;
}

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

// Whether standard output and standard error are consoles, not merely
// character devices (_isatty also says yes for NUL): asked once, at start,
// not for every line.
bool stdout_is_console = false;
bool stderr_is_console = false;

bool is_console(DWORD std_handle)
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(std_handle), &mode) != 0;
}

// Marks the open file `handle` to be removed by the system when its last
// handle closes, however the process ends, or takes the mark off.
bool set_delete_mark(HANDLE handle, bool mark)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = mark;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Renames the open file `handle` to `name` in the working directory,
// replacing what is there only when asked to. The target is its full path,
// as the system's native calls take it (\??\C:\..., \??\UNC\server\...),
// long ones included.
bool rename_by_handle(HANDLE handle, const char* name, bool replace)
{
    wide_path target(name), full;
    full_path(target.c_str(), &full);
    target.length = 0;
    prefixed(full, L"\\??\\", &target);
    struct {
        FILE_RENAME_INFO info;
        wchar_t room[longest_path + 1];
    } rename;  // the information, and the target after it
    rename.info = {};  // every flag off but the one asked for
    rename.info.ReplaceIfExists = replace;
    rename.info.FileNameLength = static_cast<DWORD>(target.length * sizeof(wchar_t));
    // With its NUL: Wine reads the name as a string.
    std::memcpy(reinterpret_cast<char*>(&rename) + offsetof(FILE_RENAME_INFO, FileName), target.text,
                rename.info.FileNameLength + sizeof(wchar_t));
    return SetFileInformationByHandle(handle, FileRenameInfo, &rename.info, sizeof rename) != 0;
}

// A fresh hidden temporary name, random, from the system's source, so that
// neither an archive's entries nor another process can take them all.
template <std::size_t size>
void make_temporary_name(char (&name)[size])
{
    unsigned int high = 0, low = 0;
    rand_s(&high);
    rand_s(&low);
    std::snprintf(name, sizeof name, "%s%04x%08x.tmp", temporary_prefix, high & 0xFFFFu, low);
}

// Runs `make` (which answers whether it made its file) on a fresh
// temporary name in `name`, and again on another while the name is taken.
template <std::size_t size, typename Make>
bool with_fresh_name(char (&name)[size], Make make)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        make_temporary_name(name);
        if (make(name))
            return true;
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

// A new hidden file under a fresh temporary name in `name`, in `folder`
// (the working directory by default), opened for `access` and made with
// `flags`, or INVALID_HANDLE_VALUE.
template <std::size_t size>
HANDLE create_hidden(char (&name)[size], DWORD access, DWORD flags, const wchar_t* folder = L"")
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    with_fresh_name(name, [&](const char* fresh) {
        handle = CreateFileW(wide_path(fresh, folder).c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | flags, nullptr);
        return handle != INVALID_HANDLE_VALUE;
    });
    return handle;
}

// A stream over the new handle `handle`, which it takes, opened with the C
// runtime's `flags` and `mode`: closed where no stream can be made.
std::FILE* stream_of(HANDLE handle, int flags, const char* mode)
{
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    std::FILE* stream = fd >= 0 ? _fdopen(fd, mode) : nullptr;
    if (stream == nullptr)
        fd >= 0 ? _close(fd) : CloseHandle(handle);
    return stream;
}

// The identity of what `path` names, opened with `flags` (links followed
// unless they say otherwise). -1: nothing there.
int identify_path(const wchar_t* path, DWORD flags, file_identity* identity)
{
    HANDLE handle = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    int status = identify_handle(handle, identity);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return status;
}


}  // namespace

// Standard output and error carry the bytes they are given: no "\n" becomes
// "\r\n" behind the tool's back; end_line writes the line ends.
void start_platform()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    stdout_is_console = is_console(STD_OUTPUT_HANDLE);
    stderr_is_console = is_console(STD_ERROR_HANDLE);
}

void end_line(std::FILE* stream)
{
    std::fputs("\r\n", stream);
}

// Archives are protected by identity here: the name a link leads to is not
// followed.
std::string follow_links(const char*)
{
    return {};
}

// Windows opens a FIFO's stand-in (a named pipe) as a pipe, never a disk
// file: anything but a folder may be a regular file until it is opened.
archive_kind inspect_archive(const archive_path& path, file_identity* identity)
{
    const wide_path wide = system_path(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || identify_path(wide.c_str(), 0, identity) != 0)
        return archive_kind::missing;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? archive_kind::other : archive_kind::regular;
}

// Handles are not the C runtime's descriptors, whose table is small, and
// the system has millions: 8,192 held archives leave plenty for the rest.
std::size_t archive_budget()
{
    return 8192;
}

// Shared for reading and writing, not for deleting: while it is held, no
// rename can replace it.
archive_handle hold_archive(const archive_path& path, file_identity* identity)
{
    HANDLE handle = CreateFileW(system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return no_archive;
    if (GetFileType(handle) != FILE_TYPE_DISK || identify_handle(handle, identity) != 0) {
        CloseHandle(handle);
        return no_archive;
    }
    return reinterpret_cast<archive_handle>(handle);
}

void release_archive(archive_handle handle)
{
    if (handle != no_archive)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

// Opened at its turn, an archive is not shared for deleting either.
std::FILE* open_archive(const archive_path& path, archive_handle held)
{
    if (held == no_archive)
        return _wfopen(system_path(path).c_str(), L"rb");
    return stream_of(reinterpret_cast<HANDLE>(held), _O_RDONLY | _O_BINARY, "rb");
}

namespace {

// A hidden file of `folder` that the system deletes when its handle closes,
// however the process ends.
std::FILE* open_hidden_spool(const wchar_t* folder)
{
    char name[32];
    HANDLE handle = create_hidden(name, GENERIC_READ | GENERIC_WRITE, FILE_FLAG_DELETE_ON_CLOSE, folder);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return stream_of(handle, _O_RDWR | _O_BINARY, "w+b");
}

}  // namespace

std::FILE* open_spool(bool)
{
    return open_hidden_spool(L"");
}

// The spool goes when closed (FILE_FLAG_DELETE_ON_CLOSE), and reads back
// through its own handle.
std::FILE* reopen_spool(std::FILE* spool)
{
    return spool;
}

std::FILE* read_spool_anew()
{
    return nullptr;
}

void remove_spool() {}

std::FILE* open_memory_stream(char* bytes, std::size_t size)
{
    wchar_t folder[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    std::FILE* stream = length > 0 && length <= MAX_PATH ? open_hidden_spool(folder) : nullptr;
    if (stream != nullptr && (std::fwrite(bytes, 1, size, stream) != size || std::fseek(stream, 0, SEEK_SET) != 0)) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

long long free_room()
{
    ULARGE_INTEGER available;
    return GetDiskFreeSpaceExW(nullptr, &available, nullptr, nullptr) ? static_cast<long long>(available.QuadPart) : -1;
}

// Windows names no path for standard input: no archive reads it.
void let_go_of_pipe(std::FILE*) {}

bool reads_by_position(std::FILE* stream)
{
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) == FILE_TYPE_DISK;
}


cause last_error()
{
    return {reason::system, static_cast<int>(GetLastError())};
}

// FormatMessageW's text in the user's language, its ending (". ", CR LF)
// stripped.
void system_error_text(int error, char (&text)[512])
{
    wchar_t wide[256];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(error), 0, wide, sizeof wide / sizeof *wide, nullptr);
    while (length > 0 && (wide[length - 1] == L'\r' || wide[length - 1] == L'\n' || wide[length - 1] == L' ' ||
                          wide[length - 1] == L'.' || wide[length - 1] == L'\u3002'))  // (an ideographic one too)
        --length;
    wide[length] = L'\0';
    if (length == 0 || WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr) <= 0)
        std::snprintf(text, sizeof text, "system error %d", error);
}

bool is_terminal(std::FILE* stream)
{
    return stream == stdout ? stdout_is_console : stream == stderr && stderr_is_console;
}

// Read as file names are: UTF-8 where it is valid, else the ANSI code page,
// where the second byte of a character (Shift-JIS, GBK, UHC, Big5) may be
// 0x5C, which is then no backslash.
const char* as_utf8(const char* name, char (&room)[output_name_size])
{
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0) > 0)
        return name;
    if (WideCharToMultiByte(CP_UTF8, 0, wide_path(name).c_str(), -1, room, sizeof room, nullptr, nullptr) <= 0)
        room[0] = '\0';  // an empty name, which no file takes
    return room;
}

void write_terminal(std::FILE* stream, const char* text)
{
    const wide_path wide(text);
    std::fflush(stream);
    DWORD written;
    WriteConsoleW(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), wide.c_str(),
                  static_cast<DWORD>(wide.length), &written, nullptr);
}


int identify_file(const char* path, file_identity* identity)
{
    return identify_path(wide_path(path).c_str(), 0, identity);
}

int identify_stream(std::FILE* stream, file_identity* identity, long long* size)
{
    struct _stat64 status;
    bool regular = _fstat64(_fileno(stream), &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
    *size = regular ? static_cast<long long>(status.st_size) : -1;
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), identity);
}

// A link to a folder counts as a folder here; anything else, a link to a
// file or to nothing included, is identified as itself, not where it leads.
name_kind inspect_name(const char* path, file_identity* identity)
{
    const wide_path wide(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return name_kind::nothing;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return name_kind::directory;
    return identify_path(wide.c_str(), FILE_FLAG_OPEN_REPARSE_POINT, identity) == 0 ? name_kind::other
                                                                                      : name_kind::nothing;
}

int remove_name(const char* path)
{
    return DeleteFileW(wide_path(path).c_str()) ? 0 : -1;
}

using stage = output_port_state::stage;

output_file::output_file()
{
    HANDLE handle = create_hidden(temp_name_, GENERIC_WRITE | DELETE, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        why_ = last_error();
        return;
    }
    port_.marked = set_delete_mark(handle, true);
    identify_handle(handle, &identity_);
    fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd_ >= 0) {
        port_.at = stage::temporary;
        return;
    }
    why_ = {reason::system, ERROR_TOO_MANY_OPEN_FILES};  // the C runtime's table is full
    CloseHandle(handle);
    if (!port_.marked)
        DeleteFileW(wide_path(temp_name_).c_str());
}

output_file::~output_file()
{
    if (port_.at != stage::temporary)
        return;
    if (!port_.marked)
        port_.marked = set_delete_mark(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), true);
    _close(fd_);
    if (!port_.marked)
        remove_if_same(temp_name_, identity_);
}

namespace {

// Where the system finds the open `handle`, links and junctions resolved,
// without the \\?\ prefix: C:\..., or \\server\... for UNC paths.
wide_path final_path(HANDLE handle)
{
    wide_path path;
    const DWORD length = GetFinalPathNameByHandleW(handle, path.text, longest_path + 1, FILE_NAME_NORMALIZED);
    path.length = length <= longest_path ? static_cast<int>(length) : 0;
    path.text[path.length] = L'\0';
    const int drop = path.starts_with(L"\\\\?\\UNC\\") ? 6 : path.starts_with(L"\\\\?\\") ? 4 : 0;
    std::wmemmove(path.text, path.text + drop, static_cast<std::size_t>(path.length - drop + 1));
    path.length -= drop;
    if (drop == 6)
        path.text[0] = L'\\';  // \\?\UNC\server\... is \\server\...
    return path;
}

// Whether the open `handle` is the entry `name` of the working directory
// itself, not a file that a link there leads to: Wine follows a Linux
// symbolic link whatever the flags say, and would move and delete the file
// it leads to.
bool is_entry_itself(HANDLE handle, const char* name)
{
    static wide_path working_directory;  // found on the first replacement: the run never changes it
    if (working_directory.length == 0) {
        HANDLE folder = CreateFileW(L".", 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (folder == INVALID_HANDLE_VALUE)
            return false;
        working_directory = final_path(folder);
        CloseHandle(folder);
        if (working_directory.length > 0 && working_directory.text[working_directory.length - 1] != L'\\')
            working_directory.append(L"\\");
    }
    const wide_path expected(name, working_directory.c_str());
    return CompareStringOrdinal(final_path(handle).c_str(), -1, expected.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// What is at `name`, opened to be moved and deleted through its handle: a
// link itself, never where it leads; shared for reading and writing, not for
// deleting, so that no other rename or deletion reaches it meanwhile. Only
// the file `expected`, and never a folder, a junction or a read-only file.
HANDLE open_to_replace(const char* name, const file_identity& expected)
{
    HANDLE handle = CreateFileW(wide_path(name).c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    file_identity found;
    if (handle != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(handle, &info) ||
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
         identify_handle(handle, &found) != 0 || !same_file(found, expected) || !is_entry_itself(handle, name))) {
        CloseHandle(handle);
        SetLastError(ERROR_ACCESS_DENIED);  // kept: not the file to replace
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// Renames the open file `handle` to a fresh hidden name, in `aside`.
bool move_aside(HANDLE handle, char (&aside)[32])
{
    return with_fresh_name(aside, [handle](const char* fresh) { return rename_by_handle(handle, fresh, false); });
}

}  // namespace

// Stages "named" and "replacing" of the map at the top: through handles
// only, never replacing anything by path.
name_outcome output_file::name(const char* name, const file_identity* replacing, const folded_names* archives)
{
    if (replacing != nullptr && (archives == nullptr || archives->may_spell(name)))
        return why_ = {reason::archive_at_name}, name_outcome::failed;  // never renamed aside or deleted
    if (port_.at != stage::temporary)
        return name_outcome::failed;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd_));
    HANDLE there = INVALID_HANDLE_VALUE;
    char aside[32] = "";
    if (replacing != nullptr) {
        there = open_to_replace(name, *replacing);
        if (there == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND)
            return why_ = last_error(), name_outcome::failed;  // (gone meanwhile: taken free, replacing nothing)
        if (there != INVALID_HANDLE_VALUE && !move_aside(there, aside)) {
            why_ = last_error();
            CloseHandle(there);
            return name_outcome::failed;
        }
    }
    bool named = (!port_.marked || set_delete_mark(handle, false)) && (port_.marked = false, rename_by_handle(handle, name, false));
    DWORD error = named ? 0 : GetLastError();
    if (there != INVALID_HANDLE_VALUE) {
        if (named)
            set_delete_mark(there, true);
        else if (!rename_by_handle(there, name, false))
            std::snprintf(kept_, sizeof kept_, "%s", aside);
        CloseHandle(there);  // deletes it, if marked
    }
    if (!named) {
        port_.marked = set_delete_mark(handle, true);
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
            return replacing != nullptr ? (why_ = {reason::raced}, name_outcome::failed) : name_outcome::taken;
        why_ = {reason::system, static_cast<int>(error)};
        return name_outcome::failed;
    }
    port_.at = stage::named;
    FILE_BASIC_INFO basic{};  // times of 0 stay as they are
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    // Every write went straight to the system (the C runtime's descriptors
    // buffer nothing), so a failing close here could lose no byte.
    _close(fd_);
    fd_ = -1;
    return name_outcome::named;
}

// A read at `offset` through the stream's handle, whose own position is put
// back after it: the C runtime's buffer, which reads on from there, holds
// what it held.
long long read_at(std::FILE* stream, char* buffer, std::size_t size, long long offset)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    LARGE_INTEGER position{};
    if (offset < 0 || !SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT))
        return -1;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    const bool read = ReadFile(handle, buffer, static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30)), &count, &at) ||
                      GetLastError() == ERROR_HANDLE_EOF;  // at or past the end: 0
    const DWORD error = GetLastError();
    if (!SetFilePointerEx(handle, position, nullptr, FILE_BEGIN))
        return -1;  // (the stream would no longer find its place)
    SetLastError(error);
    return read ? static_cast<long long>(count) : -1;
}

kernel_copy copy_in_kernel(std::FILE*, long long*, unsigned long long*, int)
{
    return kernel_copy::not_here;  // every byte goes through the buffer here
}

kernel_copy move_in_kernel(std::FILE*, int, unsigned long long*)
{
    return kernel_copy::not_here;
}

// A write that fails says why in errno, and not always in the system's
// last error (a full disk may be a short write): where it does not, the
// system's code for errno's reason stands in.
long long write_some(int fd, const char* buffer, std::size_t size)
{
    SetLastError(ERROR_SUCCESS);
    int written = _write(fd, buffer, static_cast<unsigned>(size < (1u << 30) ? size : (1u << 30)));
    if (written < 0 && GetLastError() == ERROR_SUCCESS)
        SetLastError(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
    return written;
}


namespace {

// The name of the program that started this process ("explorer.exe"), or
// "" where it cannot tell (it may have ended).
std::wstring parent_program()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return {};
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    std::wstring name;
    for (int pass = 0; pass < 2; ++pass)  // first our own entry, then the parent's
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            if (pass == 0 && entry.th32ProcessID == GetCurrentProcessId())
                parent = entry.th32ParentProcessID;
            if (pass == 1 && parent != 0 && entry.th32ProcessID == parent)
                name = entry.szExeFile;
        }
    CloseHandle(snapshot);
    return name;
}

// Whether the standard stream `which` is the console itself.
bool is_console_handle(DWORD which)
{
    DWORD mode;
    return GetFileType(GetStdHandle(which)) == FILE_TYPE_CHAR && GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

console_facts read_console_facts()
{
    console_facts facts;
    DWORD processes[2];
    facts.processes = GetConsoleProcessList(processes, 2);
    facts.input_is_console = is_console_handle(STD_INPUT_HANDLE);
    facts.output_is_console = is_console_handle(STD_OUTPUT_HANDLE);
    facts.has_window = GetConsoleWindow() != nullptr;
    facts.started_by_shell = CompareStringOrdinal(parent_program().c_str(), -1, L"explorer.exe", -1, TRUE) == CSTR_EQUAL;
    return facts;
}

void say_and_wait(const std::string& line)
{
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE && in != INVALID_HANDLE_VALUE) {
        const std::wstring text = to_wide((line + "\r\n").c_str());
        DWORD count;
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &count, nullptr);
        FlushConsoleInputBuffer(in);
        INPUT_RECORD record;
        while (ReadConsoleInputW(in, &record, 1, &count) && count == 1 &&
               !(record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)) {
        }
    }
    for (HANDLE handle : {out, in})
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
}

std::string working_folder()
{
    DWORD length = GetCurrentDirectoryW(0, nullptr);
    std::wstring folder(length, L'\0');
    folder.resize(GetCurrentDirectoryW(length, folder.data()));
    return to_utf8(folder);
}

int terminal_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    return GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) ? info.dwSize.X : 0;
}
