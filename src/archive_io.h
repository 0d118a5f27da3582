// The reading side of the OS contract: archives held and opened, positional
// reads, copies by the kernel, and the spool of a piped archive. One body
// per system (platform_linux.cpp, platform_windows.cpp). Includes
// platform.h only; the walk and the run's tables include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform.h"

// An archive held open from the start of the run: a descriptor, or on
// Windows a handle that shares no deleting, so no rename can replace it.
using archive_handle = std::intptr_t;
inline constexpr archive_handle no_archive = -1;

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

// While the spool is written: where it has a hidden name, a stream that
// reads what it holds so far through a descriptor of its own, opened after
// those bytes were written (fusefat gives the writer's descriptor zeros for
// its first write); else nullptr, and the spool is read itself.
std::FILE* read_spool_anew();

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
