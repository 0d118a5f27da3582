// What every room needs of the operating system: outcomes and their causes,
// the process and its terminal, and which file a name is. The reading side
// (archive_io.h) and the output file (output_file.h) are the rest of the
// contract a port provides, one body per system (platform_linux.cpp,
// platform_windows.cpp). The rooms above own the policy, each port the
// mechanism. Paths are byte strings, handed on unchanged. A function that
// answers an int status answers 0 for success and -1 for failure; the
// others answer what their type names. Includes names.h only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "names.h"

// ---- Outcomes ------------------------------------------------------------------

// Why something the tool tried did not happen: the system's own error, or
// one of the tool's own reasons.
enum class reason {
    none,             // it happened
    system,           // cause::error says why
    folder_at_name,   // a folder has the name
    archive_at_name,  // an archive of the run has the name, or may have it
    no_tables,        // the run had no memory to tell its archives: nothing is replaced
    not_a_name,       // the system takes no such name as a plain file here
    ends_first,       // the archive, or its pipe, ends before the sound does
    before_start,     // the sound would lie before the archive's start
    raced,            // another process changed the name, or a hidden name of the tool's own, meanwhile
};

struct cause {
    reason why = reason::none;
    int error = 0;  // for reason::system: errno, or on Windows a system error code

    bool failed() const { return why != reason::none; }
};

// The system's last error (errno; on Windows GetLastError()) as a cause.
cause last_error();

// The system's own words for its error `error`, in UTF-8, without a
// trailing full stop or line end.
void system_error_text(int error, char (&text)[512]);

// ---- The process and its console ---------------------------------------------

// Start-up, first thing in the program. On Linux: a write past the
// file-size limit, or into a pipe that no one reads any more, fails instead
// of killing the process; as many files may be open as the system allows; a
// standard stream that was closed is opened on the null device, so that no
// file of the run takes its descriptor; an interruption (SIGINT, SIGTERM,
// SIGHUP) removes the output file being written, then ends the process as
// the signal would. On Windows: standard output and error carry bytes
// unchanged (no "\n" becomes "\r\n"). On both: whether each is a terminal
// is asked once, here.
void start_platform();

// Ends the line of text on `stream`: "\n", or "\r\n" on Windows.
void end_line(std::FILE* stream);

// Whether `stream` (standard output or error) is a terminal (a console on
// Windows), as start_platform found.
bool is_terminal(std::FILE* stream);

// Writes the UTF-8 `text` to the terminal `stream`: on Windows as UTF-16,
// through the console.
void write_terminal(std::FILE* stream, const char* text);

// What the process finds of its console at its end (Windows; elsewhere all
// nothing).
struct console_facts {
    unsigned long processes = 0;     // attached to its console (GetConsoleProcessList)
    bool input_is_console = false;   // standard input and output are that console,
    bool output_is_console = false;  // not a pipe or a file
    bool has_window = false;         // GetConsoleWindow answers one
    bool started_by_shell = false;   // the parent process is explorer.exe
};

console_facts read_console_facts();

// Writes `line` straight to the console (CONOUT$, never standard output)
// and reads one key from CONIN$. Windows only: elsewhere nothing.
void say_and_wait(const std::string& line);

// The working directory's full path, in UTF-8; "" where it cannot tell.
std::string working_folder();

// How many columns standard output's terminal has; 0 when it cannot tell.
int terminal_columns();

// ---- Names and identity ----------------------------------------------------

// Which file a path designates, so that two spellings of one file ("a.zqa",
// "./a.zqa", a link, a hard link) compare equal.
struct file_identity {
    std::uint64_t device;
    std::uint64_t inode;
};

inline bool same_file(const file_identity& a, const file_identity& b)
{
    return a.device == b.device && a.inode == b.inode;
}

// The file `path` leads to, following links. -1: no such file.
int identify_file(const char* path, file_identity* identity);

// The file an open stream reads, and in `size` its length when it is a
// regular file, else -1. -1: the system cannot tell.
int identify_stream(std::FILE* stream, file_identity* identity, long long* size);

// What is at `path` itself, links not followed; `identity` is set for
// anything but nothing.
enum class name_kind { nothing, directory, other };
name_kind inspect_name(const char* path, file_identity* identity);

// Removes the name `path` (a file, or a link itself). -1: it cannot.
int remove_name(const char* path);

// Removes `path` only while it is still the file `identity`: another
// process may have put its own file there since.
inline void remove_if_same(const char* path, const file_identity& identity)
{
    file_identity there;
    if (inspect_name(path, &there) == name_kind::other && same_file(there, identity))
        remove_name(path);
}

// The name `name` in UTF-8: `name` itself, or on Windows, where it is not
// UTF-8, as the system reads file names (in the ANSI code page), in `room`.
// (On Linux the bytes are the name, whatever they spell.)
const char* as_utf8(const char* name, char (&room)[output_name_size]);
