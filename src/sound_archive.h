// Reading sound archives (.zqa) and copying their entries out into files.
//
// Layout, all integers little-endian:
//   header, 20 bytes:  16 bytes signature (never examined), int32 entry_count
//   index, entry_count records of 264 bytes each, starting at offset 20:
//     int32 data_offset   absolute position of the entry's bytes in the archive
//     uint32 data_size    length of the entry's bytes
//     char entry_name[256] stored path, '/'-separated, ends at the first NUL
//                          (a field without NUL holds a 256-byte name)
// Entries' data may lie anywhere in the file, in any order, overlapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

#include "archive_io.h"
#include "console.h"
#include "platform.h"
#include "protection.h"

inline constexpr std::size_t signature_width = 16;
inline constexpr std::size_t entry_name_width = 256;
inline constexpr std::size_t header_width = signature_width + 4;         // and entry_count
inline constexpr std::size_t index_entry_width = 4 + 4 + entry_name_width;  // data_offset, data_size, name

// A stream that is closed when it goes.
struct file_closer {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Reads up to `width` bytes from the stream with one read into `field_buffer`
// (which holds at least width + 1 bytes), stores a NUL right after the bytes
// actually read and returns `field_buffer`. A short read leaves the stream's
// end-of-file or error indicator set.
char* read_str(std::FILE* stream, char* field_buffer, std::size_t width);

// The output name of a stored path: the part after its last '/', or the whole
// name when it holds no '/'. A backslash is a plain byte, except on Windows,
// where it separates too, and where the name is carried on in UTF-8 in
// `output_name` (elsewhere it is a view into `entry_name`).
const char* split_file_name(const char* entry_name, char (&output_name)[output_name_size]);

// The size of the run's copy buffer (across file systems, 1 MiB keeps pace
// with cp, where 64 KiB took 1.2 times as long).
inline constexpr std::size_t copy_buffer_size = 1024 * 1024;

// The run's one copy buffer. Bytes pass through it where the kernel cannot
// copy them, and small entries are written from a window of the archive
// being read that it holds. Every other use of its bytes takes them with
// take(), which forgets the window, so that no entry is ever written from
// bytes the buffer no longer holds.
class copy_buffer {
public:
    explicit copy_buffer(std::span<char> bytes) : bytes_(bytes) {}

    // The whole buffer, for any use but the window: what it held is gone.
    std::span<char> take()
    {
        held_ = 0;
        return bytes_;
    }

    // The `size` bytes at `offset` of the file `stream` reads, from the
    // window, which is read anew where it does not hold them all. A new
    // window is as large as the bytes the last one served and a quarter
    // more, or twice the last where entries go on side by side, between the
    // entry itself and window_size: entries far apart cost about the bytes
    // they hold, entries side by side one read per window_size. nullptr:
    // the file ends first, or cannot be read, as `why` says.
    const char* window(std::FILE* stream, long long offset, std::size_t size, cause* why);

    static constexpr std::size_t window_size = 64 << 10;
    bool holds_windows() const { return bytes_.size() >= window_size; }

private:
    std::span<char> bytes_;
    long long at_ = 0;            // where in the file the window starts
    std::size_t held_ = 0;        // how many bytes it holds: 0 for none
    std::size_t served_ = 0;      // how many of them entries were written from
    std::size_t next_ = window_size;  // how many bytes the next window reads
};

// One archive as its walk lends it to each entry's extraction: what stays
// the same while it is walked.
struct archive_source {
    std::FILE* stream;         // the archive, read by the walk (piped: its copy, or that of its index)
    long long size;            // its length, or -1 when not a regular file, or piped
    file_identity identity;    // its identity: never replaced
    const run_archives* run;   // the run's archives: never replaced either
    std::FILE* pipe;           // a piped archive whose entries come in order, read once as they come; or nullptr
};

// What moves while an archive is walked.
struct archive_reading {
    copy_buffer* buffer;          // the run's copy buffer
    long long pipe_at = 0;        // how far the pipe has been read
    bool kernel_copies = true;    // whether the kernel may still copy from this archive
    bool show_progress = false;   // the entry's progress fits on its line of the terminal
};

// Entries of at least this size show their progress on a terminal.
inline constexpr unsigned long long progress_threshold = 64ull << 20;

// Copies the `data_size` bytes at `data_offset` in the archive into the file
// `output_name` in the working directory. Returns 0 once the file holds
// exactly those bytes; -1 when it does not, and then nothing is left at the
// name but what was there before. The file is written unnamed (or under a
// hidden temporary name) and named only once complete. An existing file or
// symbolic link at the name is replaced whole, never written through; a
// directory is never replaced, nor the archive being read, nor any archive
// of the run. A range that runs past the end of a regular archive fails
// before anything is created. Names the system would not take as a plain
// file (on Windows: ':', device names, a trailing dot or space, control
// characters) are refused. The stream's position is left as it was. On -1,
// `why` (unless nullptr) says why: the system's error, or the tool's reason.
int extract_wav(const char* output_name, const archive_source& archive, archive_reading& reading,
                std::int32_t data_offset, std::uint32_t data_size, cause* why = nullptr);

// Extracts every entry of the archive at `archive_path` into the working
// directory, with one progress line per entry on standard output. `held` is
// the archive, held open by the caller, or no_archive to open it now; the
// walk releases it. Of an archive that cannot be read by position (a pipe,
// a FIFO) the header and index are first copied into an unnamed file of the
// working directory, which goes when the walk ends; where the entries come
// one after another, each is then copied straight from the pipe, and else
// the rest of the archive is copied there too (see "Piped archives" in
// sound_archive.cpp for their budgets). No entry may replace a file of
// `archives`; `buffer` is the run's copy buffer. Returns 0 when the whole
// index was read; -1 when the archive could not be opened or read to the
// end of its index.
// Each verdict, and the archive itself where it fails, counts in `tally`.
int load_snd_zqa(const archive_path& archive_path, archive_handle held, const run_archives& archives,
                 copy_buffer& buffer, run_tally& tally);

// The run: finds its archives (run_archives::find), takes its copy buffer,
// and walks each archive in turn (load_snd_zqa). Where there was no memory
// for the run's tables, it says so once on standard error and replaces
// nothing. Answers what the run came to.
run_tally extract_archives(const archive_list& archives);
