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
// Windows wmain (in the platform's file), which hands them over in UTF-8
// with wildcards expanded.
int snd_extractor(int argc, char* argv[]);

// Start-up, first thing in the program: a write past the file-size limit, or
// into a pipe that no one reads any more, fails instead of killing the
// process; as many files may be open as the system allows; a standard
// stream that was closed is
// opened on the null device for reading, so that no file of the run takes
// its descriptor and writes to it fail; standard output and error carry
// bytes unchanged; an interruption (SIGINT, SIGTERM, SIGHUP) removes the
// output file being written, then ends the process as the signal would.
void start_platform();

// Ends the line of text on `stream`: "\n", or "\r\n" on Windows.
void end_line(std::FILE* stream);

// Opens the archive `path` for reading, in binary mode; nullptr on failure.
std::FILE* open_archive(const char* path);

// Whether the stream's file can be read at any position: false for a pipe,
// a FIFO, a terminal or a socket.
bool reads_by_position(std::FILE* stream);

// A new file for reading and writing in the working directory that no user
// sees under any name and that vanishes when it is closed, or when the
// process ends however it ends (Linux without unnamed files: but for a
// moment after it is made). nullptr when none can be made.
std::FILE* open_spool();

// Writes `text` (a name, a path) to `stream`: on a console, so that it shows
// as the characters it spells (Windows); elsewhere as the bytes it is.
void write_text(std::FILE* stream, const char* text);

// The file `path` leads to, following links. -1: no such file.
int identify_file(const char* path, file_identity* identity);

// The file an open stream reads, and in `size` its length when it is a
// regular file, else -1. -1: the system cannot tell.
int identify_stream(std::FILE* stream, file_identity* identity, long long* size);

// What is at `path` itself, links not followed; `identity` is set for
// anything but nothing.
enum class name_kind { nothing, directory, other };
name_kind inspect_name(const char* path, file_identity* identity);

// Whether the system takes `name` as a plain file in the working directory
// (Windows turns some names into devices, streams or other names).
bool is_plain_name(const char* name);

// The position in the stored path `name` just after its last separator
// ('/'; on Windows '\' too, where it is a character and not the second byte
// of one), or `name` itself when it has none.
const char* after_last_separator(const char* name);

// A new file for one output, in the working directory. Until it is named,
// no user sees it under any name of theirs, and it goes with the object:
// nothing of it outlives a failure, an interruption or (where the system
// allows) a kill.
class output_file {
public:
    output_file();   // makes it; descriptor() is -1 when none could be made
    ~output_file();  // discards it unless it was named
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // Where its bytes are written.
    int descriptor() const { return fd_; }

    // Gives the complete file the name `name` and closes it. Without
    // `replace` only a free name is taken: -1 with errno EEXIST when the name
    // is taken. With it, what is at the name is replaced whole, at once.
    // -1: not named; the file is still discarded with the object.
    int name(const char* name, bool replace);

private:
    int fd_ = -1;
    bool named_ = false;
    bool marked_ = false;         // Windows: removed by the system when closed
    char temp_name_[32] = "";     // a hidden temporary name, when it has one
    file_identity identity_{};
};

// Reads up to `size` bytes at `offset` of the stream's file, leaving the
// stream's position as it was. Returns the count read (0 at the end), or -1.
long long read_at(std::FILE* stream, char* buffer, std::size_t size, long long offset);

// Lets the kernel copy up to `*size` bytes at `*offset` of the stream's file
// to `out`, advancing both by what it copied. 0: stopped where the kernel
// cannot go on (the end of the file, a write that fell short), leaving the
// rest to a buffer; 1: the kernel cannot copy between these two files (not
// here, another file system), nor will it for the rest of this archive;
// -1: a write failed.
int copy_in_kernel(std::FILE* stream, long long* offset, unsigned long long* size, int out);

// Lets the kernel move the rest of the stream (a pipe) to `out`, which is
// left at the end of what it wrote. 0: the stream ended; 1: the kernel cannot
// move it here, and the rest is left to a buffer; -1: a write failed.
int move_in_kernel(std::FILE* stream, int out);

// Writes some of `size` bytes to `fd`. Returns the count written, or -1.
long long write_some(int fd, const char* buffer, std::size_t size);

// Whether standard output is a terminal (a console on Windows).
bool stdout_is_terminal();
