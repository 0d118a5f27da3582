// What the archive walk needs of the operating system: the whole contract a
// port provides, one body per system (platform_linux.cpp,
// platform_windows.cpp, with windows_main.cpp). The walk owns the policy,
// each port the mechanism. Paths are byte strings, handed on unchanged.
// A function that answers an int status answers 0 for success and -1 for
// failure; the others answer what their type names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "name_fold.h"

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

// The name `name` in UTF-8 for a terminal: `name` itself, or on Windows,
// where it is not UTF-8, read in the ANSI code page as file names are, in
// `room`.
const char* terminal_text(const char* name, std::string& room);

// Writes the UTF-8 `text` to the terminal `stream`: on Windows as UTF-16,
// through the console.
void write_terminal(std::FILE* stream, const char* text);

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

// Whether the system takes `name` as a plain file in the working directory:
// never a name with a separator, nor one longer than file systems take (255
// bytes; on Windows 255 UTF-16 units); on Windows also no device, stream or
// name the system would change.
bool is_plain_name(const char* name);

// The room an output name takes: on Windows a stored path read in a
// double-byte code page is carried on in UTF-8, up to three bytes for each.
inline constexpr std::size_t output_name_size = 3 * 256 + 1;

// The last component of the stored path `name`: what follows its last
// separator ('/'; on Windows '\' too, each a character as the path is read),
// or the whole name when it has none. On Linux a view into `name`; on
// Windows the component in UTF-8, in `buffer`, so that nothing reads it in
// another character set again.
const char* after_last_separator(const char* name, char (&buffer)[output_name_size]);

// ---- Reading archives ----------------------------------------------------------

// An archive held open from the start of the run: a descriptor, or on
// Windows a handle that shares no deleting, so no rename can replace it.
using archive_handle = std::intptr_t;
inline constexpr archive_handle no_archive = -1;

// The last component of an archive path: what follows its last separator
// ('/'; on Windows '\' and a drive's ':' too), or the whole path.
const char* last_component(const char* path);

// An archive as the command line names it: its path, and whether a
// wildcard's listing spelled it, which Windows opens as it is spelled (a
// trailing dot, a device name and all).
struct archive_path {
    const char* bytes;
    bool listed = false;
};

// Where `path` leads once the links at its end are followed, as far as they
// go (to nothing, for a link that leads nowhere); empty where its last
// component is no link. Allocates: called where the run's tables are built.
std::string follow_links(const char* path);

// What a path names, links followed, without opening it (opening a FIFO
// early would block, and end a writer already waiting); `identity` is set
// unless it names nothing.
enum class archive_kind { missing, regular, other };
archive_kind inspect_archive(const archive_path& path, file_identity* identity);

// How many archives the run may hold open at the start: of the descriptors
// that are not open yet, all but those its own files need (the archive
// being read, its spool, an output and the file it replaces) with room to
// spare.
std::size_t archive_budget();

// Opens the regular file `path` to be held, and sets `identity` from what
// was opened. no_archive when it cannot, or it is no longer a regular file.
archive_handle hold_archive(const archive_path& path, file_identity* identity);
void release_archive(archive_handle handle);

// The archive `path` as a stream for reading in binary mode: from `held`,
// whose ownership it takes, or opened now. nullptr on failure.
std::FILE* open_archive(const archive_path& path, archive_handle held);

// The size of the buffer that an archive's index streams through, or 0 for
// the C library's own.
extern const std::size_t index_buffer_size;

// Whether the stream's file can be read at any position: false for a pipe,
// a FIFO, a terminal or a socket (a pipe's own buffer is then made larger
// where the system allows).
bool reads_by_position(std::FILE* stream);

// A new file for reading and writing in the working directory that no user
// sees under any name of theirs and that vanishes when it is closed, or when
// the process ends however it ends. On Linux, where the file system has no
// unnamed files and `hidden_name` allows, one under a hidden temporary name
// until remove_spool(), which an interruption removes too but a kill leaves
// (a file unlinked while open loses writes on some FUSE drivers). nullptr
// when none can be made.
std::FILE* open_spool(bool hidden_name);

// The spool, written in full, as a stream to read: where it has a hidden
// name, opened anew by that name (fusefat reads zeros back through the
// descriptor that wrote them) and `spool` closed; else `spool` itself.
// nullptr: it cannot be opened anew.
std::FILE* reopen_spool(std::FILE* spool);

// Removes the spool's hidden name, once its stream is closed; nothing
// where it has none.
void remove_spool();

// The room left for files in the working directory's file system, in
// bytes; -1 when the system cannot tell.
long long free_room();

// A stream that reads the `size` bytes at `bytes` (which outlive it), for
// the index of a piped archive where no spool can be made in the working
// directory: memory on Linux; on Windows, whose C library has no such
// stream, a file of the system's temporary folder that goes when it is
// closed, however the process ends. nullptr when none can be made.
std::FILE* open_memory_stream(char* bytes, std::size_t size);

// Once a piped archive is done with: where `pipe` is the tool's standard
// input, descriptor 0 is put on the null device, so that no descriptor of
// the tool holds the pipe open and its writer is never held up by it.
void let_go_of_pipe(std::FILE* pipe);

// Reads up to `size` bytes at `offset` of the stream's file, leaving the
// stream's position as it was. Returns the count read (0 at the end), or -1.
long long read_at(std::FILE* stream, char* buffer, std::size_t size, long long offset);

// What a copy by the kernel came to.
enum class kernel_copy {
    done,          // all of it, or as far as the kernel goes (the end of the file, a write that fell short):
                   // the rest is left to a buffer, which finds out which
    not_here,      // the kernel cannot copy between these two files (not here, another file system, not a
                   // pipe), nor will it for the rest of the archive: all that is left goes through a buffer
    failed,        // a write or a read failed
};

// Lets the kernel copy up to `*size` bytes at `*offset` of the stream's file
// to `out`, advancing both by what it copied.
kernel_copy copy_in_kernel(std::FILE* stream, long long* offset, unsigned long long* size, int out);

// Lets the kernel move up to `*size` bytes of the stream (an unbuffered
// pipe) to `out`, lessening `*size` by what it moved; done also where the
// pipe ended first.
kernel_copy move_in_kernel(std::FILE* stream, int out, unsigned long long* size);

// ---- Writing outputs ------------------------------------------------------------

// How the hidden temporary names of the run's files begin: a random part
// and ".tmp" follow.
inline constexpr char temporary_prefix[] = ".snd_extractor-";

// Writes some of `size` bytes to `fd`. Returns the count written, or -1.
long long write_some(int fd, const char* buffer, std::size_t size);

// What giving an output its name came to: named; taken (something is at
// the name, which stays); failed.
enum class name_outcome { named, taken, failed };

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

    // Where a file that name() took from the name to replace it, but could
    // not put back without replacing another, now is (one of the run's
    // hidden names); "" for none.
    const char* kept() const { return kept_; }

    // Gives the complete file the name `name` and closes it. Without
    // `replacing` only a free name is taken (taken: something is there).
    // With it, what is at the name is replaced whole, at once, but only
    // while it is still the file `*replacing`, and never where the name may
    // spell one of `archives` (whatever the caller decided, since what is
    // moved or removed then may be an archive held open); failed otherwise,
    // and it stays. Unless named, the file is still discarded with the object.
    name_outcome name(const char* name, const file_identity* replacing, const folded_names* archives = nullptr);

private:
    // unnamed: not yet in any folder; temporary: under the hidden name
    // temp_name_; named: at its own name, closed, no longer this object's.
    enum class stage { none, unnamed, temporary, named };
    stage stage_ = stage::none;
    int fd_ = -1;
    [[maybe_unused]] bool marked_ = false;  // Windows: removed by the system when closed
    char temp_name_[32] = "";
    char kept_[32] = "";
    file_identity identity_{};
};
