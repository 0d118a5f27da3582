// What the archive walk needs of the operating system: the whole contract a
// port provides, one body per system (platform_posix.cpp,
// platform_windows.cpp). Paths are byte strings, handed on unchanged.
// Statuses are 0 for success and -1 for failure, as everywhere in the tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

// The program, run with its arguments as byte strings: main calls it, or on
// Windows wmain (in the platform's file), which hands them over in UTF-8.
int snd_extractor(int argc, char* argv[]);

// Start-up, first thing in the program: a write past the file-size limit fails
// instead of killing the process; a standard stream that was closed is
// opened on the null device for reading, so that no file of the run takes
// its descriptor and writes to it fail; an interruption (SIGINT, SIGTERM,
// SIGHUP; Ctrl-C, Ctrl-Break or a closed console on Windows) removes the
// pending temporary file, then ends the process as the signal would.
void start_platform();

// Opens the archive `path` for reading, in binary mode; nullptr on failure.
std::FILE* open_archive(const char* path);

// Writes `text` (a name, a path) to `stream`: on a console, so that it shows
// as the characters it spells (Windows); elsewhere as the bytes it is.
void write_text(std::FILE* stream, const char* text);

// The file `path` leads to, following links. -1: no such file.
int identify_file(const char* path, file_identity* identity);

// The file an open stream reads, and in `size` its length when it is a
// regular file, else -1. -1: the system cannot tell.
int identify_stream(std::FILE* stream, file_identity* identity, long long* size);

// The file an open descriptor writes. -1: the system cannot tell.
int identify_descriptor(int fd, file_identity* identity);

// What is at `path` itself, links not followed; `identity` is set for
// anything but nothing.
enum class name_kind { nothing, directory, other };
name_kind inspect_name(const char* path, file_identity* identity);

// Whether the system takes `name` as a plain file in the working directory
// (Windows turns some names into devices, streams or other names).
bool is_plain_name(const char* name);

// Whether `byte` separates the components of a stored path here.
bool is_separator(char byte);

// Hidden temporary names are shorter than this, terminator included.
inline constexpr std::size_t temporary_name_size = 64;

// Creates an unnamed file in the working directory, for writing, with the
// ordinary mode (0666 less the umask); it vanishes unless it is linked to a
// name. Returns its descriptor; -1 where the system or the file system has no
// such files.
int create_unnamed();

// Gives the unnamed file `fd` the name `path`, never replacing anything there.
// A `temporary` name is the pending temporary file from then on. -1 with
// errno set (EEXIST: the name is taken).
int link_unnamed(int fd, const char* path, bool temporary);

// Creates the temporary file `path` only if nothing is there, for writing,
// with the ordinary mode; it is the pending temporary file from then on.
// Returns the descriptor; -1 with errno set (EEXIST: the name is taken).
int create_exclusive(const char* path);

// Renames the finished temporary file `from` over `to`; it is no longer
// pending. -1: nothing was moved.
int replace_file(const char* from, const char* to);

// Removes `path` only while it is still the file `identity`; a pending
// temporary file of that name is no longer pending. -1: nothing was removed.
int remove_if_same(const char* path, const file_identity& identity);

// Reads up to `size` bytes at `offset` of the stream's file, leaving the
// stream's position as it was. Returns the count read (0 at the end), or -1.
long long read_at(std::FILE* stream, char* buffer, std::size_t size, long long offset);

// Lets the kernel copy up to `*size` bytes at `*offset` of the stream's file
// to `out`, advancing both by what it copied. 0: stopped where the kernel
// cannot go on (not supported here, another file system, the end of the
// file), leaving the rest to a buffer; -1: a write failed.
int copy_in_kernel(std::FILE* stream, long long* offset, unsigned long long* size, int out);

// Writes some of `size` bytes to `fd`. Returns the count written, or -1.
long long write_some(int fd, const char* buffer, std::size_t size);

// Closes a descriptor from create_unnamed or create_exclusive. -1: the system reported a
// failure, so the file may not hold what was written.
int close_file(int fd);

// This process's id, to make names no other run uses.
long process_id();

// Whether standard output is a terminal (a console on Windows).
bool stdout_is_terminal();
