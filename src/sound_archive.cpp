// The archive walk: reads the index entry by entry and copies each entry's
// bytes into a file of its own in the working directory.
//
// The index streams through the archive's FILE buffer; entry data is read
// with positional reads on the same file (on Windows, the handle's position
// put back after), or, for a piped archive whose entries come in order, from
// the pipe as it comes, so that the walk always finds its place in the index
// again. An
// output file only ever appears at its name holding the entry's complete
// bytes (see "Output files: whole or absent" below).
#include "sound_archive.h"

#include "console.h"
#include "heap.h"
#include "name_fold.h"
#include "output_file.h"

#include <chrono>
#include <climits>
#include <cstring>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

// `size` bytes, or none where the heap has no room for them (an archive's
// index buffer and index, the run's copy buffer).
std::vector<char> bytes_if_free(std::size_t size)
{
    std::vector<char> bytes;
    take_memory([&] { bytes.resize(size); });
    return bytes;
}

// The buffer an archive's index streams through: 64 KiB, one archive's at a
// time, a sixteenth of the reads of the C library's usual 4 KiB. The data is
// read by position, around it.
constexpr std::size_t index_buffer_size = 64 << 10;

// ---- Copying an entry -------------------------------------------------------

// Writes all `size` bytes to `fd`; failed: a write failed or wrote nothing.
cause write_all(int fd, const char* buffer, std::size_t size)
{
    while (size > 0) {
        long long count = write_some(fd, buffer, size);
        if (count <= 0)
            return last_error();
        buffer += count;
        size -= static_cast<std::size_t>(count);
    }
    return {};
}

// Why a read of `stream` came short: its error, or its end.
cause short_read(std::FILE* stream)
{
    return std::ferror(stream) != 0 ? last_error() : cause{reason::ends_first};
}

// The percentage of a large entry's copy on a terminal, after "...":
// redrawn in place at most four times a second, and erased before the
// verdict. Whether one is on the line, and when it was drawn.
struct percentage {
    bool on_line = false;
    std::chrono::steady_clock::time_point drawn;
};

void show_percentage(percentage* shown, unsigned long long done, unsigned long long total)
{
    auto now = std::chrono::steady_clock::now();
    if (shown->on_line && now - shown->drawn < std::chrono::milliseconds(250))
        return;
    std::printf("%s%3d%%", shown->on_line ? "\b\b\b\b" : "", static_cast<int>(done * 100 / total));
    std::fflush(stdout);
    shown->on_line = true;
    shown->drawn = now;
}

void erase_percentage(const percentage& shown)
{
    if (shown.on_line)
        std::fputs("\b\b\b\b    \b\b\b\b", stdout);
}

// Reads the pipe on from `*at` up to `offset`, passing over what lies
// before it; failed: the pipe ended first, or could not be read.
cause read_pipe_to(std::FILE* pipe, long long* at, long long offset, copy_buffer& buffer)
{
    std::span<char> bytes = buffer.take();
    while (*at < offset) {
        const auto gap = static_cast<unsigned long long>(offset - *at);
        std::size_t count = std::fread(bytes.data(), 1, gap < bytes.size() ? gap : bytes.size(), pipe);
        if (count == 0)
            return short_read(pipe);
        *at += static_cast<long long>(count);
    }
    return {};
}

// Moves the next `size` bytes of `pipe` to `out`: by the kernel where it
// can, through the run's buffer for the rest; failed: the pipe ended first,
// or a read or a write failed. What was read counts as read all the same.
cause move_from_pipe(std::FILE* pipe, archive_reading& reading, int out, unsigned long long size)
{
    unsigned long long left = size;
    if (reading.kernel_copies) {
        kernel_copy result = move_in_kernel(pipe, out, &left);
        const cause why = result == kernel_copy::failed ? last_error() : cause{left > 0 ? reason::ends_first : reason::none};
        reading.pipe_at += static_cast<long long>(size - left);
        if (result != kernel_copy::not_here)
            return why;
        reading.kernel_copies = false;
    }
    std::span<char> bytes = reading.buffer->take();
    while (left > 0) {
        std::size_t count = std::fread(bytes.data(), 1, left < bytes.size() ? left : bytes.size(), pipe);
        reading.pipe_at += static_cast<long long>(count);
        left -= count;
        if (count == 0)
            return short_read(pipe);
        if (cause why = write_all(out, bytes.data(), count); why.failed())
            return why;
    }
    return {};
}

// Entries up to 16 KiB are written from the buffer's window: a write costs
// less than a copy by the kernel, which pays off only for more bytes
// (20,000 entries of 1,000 bytes took 0.92 times as long).
constexpr unsigned long long small_entry = 16 << 10;

// Copies `size` bytes at `offset` of the archive to `out`: by the kernel
// where it can, through the run's buffer for the rest; failed: the archive
// ends inside the range, or a read or a write failed.
cause copy_piece(const archive_source& archive, archive_reading& reading, long long offset, unsigned long long size,
                 int out)
{
    if (size == 0)
        return {};  // wherever its offset points
    if (archive.pipe != nullptr) {
        cause why = read_pipe_to(archive.pipe, &reading.pipe_at, offset, *reading.buffer);
        return why.failed() ? why : move_from_pipe(archive.pipe, reading, out, size);
    }
    if (size <= small_entry && reading.buffer->holds_windows()) {
        cause why;
        const char* bytes = reading.buffer->window(archive.stream, offset, static_cast<std::size_t>(size), &why);
        return bytes != nullptr ? write_all(out, bytes, static_cast<std::size_t>(size)) : why;
    }
    if (reading.kernel_copies) {
        kernel_copy result = copy_in_kernel(archive.stream, &offset, &size, out);
        if (result == kernel_copy::failed)
            return last_error();
        reading.kernel_copies = result == kernel_copy::done;
    }
    std::span<char> bytes = reading.buffer->take();
    while (size > 0) {
        std::size_t want = size < bytes.size() ? static_cast<std::size_t>(size) : bytes.size();
        long long count = read_at(archive.stream, bytes.data(), want, offset);
        if (count <= 0)
            return count < 0 ? last_error() : cause{reason::ends_first};
        if (cause why = write_all(out, bytes.data(), static_cast<std::size_t>(count)); why.failed())
            return why;
        offset += count;
        size -= static_cast<unsigned long long>(count);
    }
    return {};
}

// Copies the entry's range, in pieces of 8 MiB where its progress is shown.
cause copy_range(const archive_source& archive, archive_reading& reading, long long offset, unsigned long long size,
                 int out)
{
    constexpr unsigned long long piece = 8ull << 20;
    if (!reading.show_progress)
        return copy_piece(archive, reading, offset, size, out);
    percentage shown;
    cause status;
    for (unsigned long long done = 0; !status.failed() && done < size; done += piece) {
        show_percentage(&shown, done, size);
        status = copy_piece(archive, reading, offset + static_cast<long long>(done),
                            size - done < piece ? size - done : piece, out);
    }
    erase_percentage(shown);
    return status;
}

}  // namespace

const char* copy_buffer::window(std::FILE* stream, long long offset, std::size_t size, cause* why)
{
    const long long end = at_ + static_cast<long long>(held_);
    if (held_ > 0 && offset >= at_ && offset + static_cast<long long>(size) <= end) {
        served_ += size;
        return bytes_.data() + (offset - at_);
    }
    if (held_ > 0)  // side by side: twice as far; elsewhere: what this one served, and a quarter
        next_ = offset >= at_ && offset <= end ? 2 * held_ : served_ + served_ / 4;
    next_ = next_ < size ? size : next_ > window_size ? window_size : next_;
    long long count = read_at(stream, bytes_.data(), next_, offset);
    if (count < 0)
        *why = last_error();
    at_ = offset;
    held_ = count > 0 ? static_cast<std::size_t>(count) : 0;
    served_ = size;
    if (held_ < size && count >= 0)
        *why = {reason::ends_first};
    return held_ >= size ? bytes_.data() : nullptr;
}

namespace {

// ---- Output files: whole or absent ------------------------------------------

// Copies the entry into a new output file and names it once complete: a
// free name at once, a taken one only where it may be written, and only in
// place of what was found there. -1: nothing new is left at any name, and
// `why` says why.
int write_output(const char* output_name, const archive_source& archive, archive_reading& reading,
                 std::int32_t data_offset, std::uint32_t data_size, cause* why)
{
    output_file file;
    if (file.descriptor() < 0)
        return *why = file.why(), -1;
    if ((*why = copy_range(archive, reading, data_offset, data_size, file.descriptor())).failed())
        return -1;
    name_outcome result = file.name(output_name, nullptr);
    file_identity found;
    if (result == name_outcome::taken && (*why = archive.run->may_replace(output_name, archive.identity, &found)).failed())
        return -1;
    if (result == name_outcome::taken)
        result = file.name(output_name, &found, &archive.run->names());
    *why = result == name_outcome::named ? cause{} : file.why();
    if (*file.kept() != '\0')
        report("failed to put back ", output_name, ": it is now ", file.kept());
    return result == name_outcome::named ? 0 : -1;
}

// ---- Reading the archive --------------------------------------------------

bool stream_failed(std::FILE* stream)
{
    return std::ferror(stream) != 0 || std::feof(stream) != 0;
}

// The little-endian 32-bit value of `bytes`.
std::uint32_t le32(const unsigned char (&bytes)[4])
{
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

bool read_uint32(std::FILE* stream, std::uint32_t* value)
{
    unsigned char bytes[4];
    if (std::fread(bytes, 1, sizeof bytes, stream) != sizeof bytes)
        return false;
    *value = le32(bytes);
    return true;
}

bool read_int32(std::FILE* stream, std::int32_t* value)
{
    std::uint32_t bits;
    if (!read_uint32(stream, &bits))
        return false;
    *value = static_cast<std::int32_t>(bits);
    return true;
}

// Starts an entry's progress line; on a terminal it shows before the copy
// begins. Returns how many columns the line takes there (0 elsewhere).
std::size_t announce_entry(const char* entry_name)
{
    std::fputs("extract [", stdout);
    std::size_t columns = write_name(stdout, entry_name);
    std::fputs("]...", stdout);
    if (!is_terminal(stdout))
        return 0;
    std::fflush(stdout);
    return sizeof "extract []..." - 1 + columns;
}

// Whether a percentage still fits after a line of `line_columns` on the
// terminal: a line that wraps puts it beyond where backspaces reach.
bool percentage_fits(std::size_t line_columns)
{
    const int columns = terminal_columns();
    return line_columns + sizeof "100%" - 1 < static_cast<std::size_t>(columns > 0 ? columns : 80);
}

// Reads one index entry: its three fields, in order. -1: the archive ends
// inside the entry.
int read_entry(std::FILE* stream, std::int32_t* data_offset, std::uint32_t* data_size,
               char (&entry_name)[entry_name_width + 1])
{
    if (!read_int32(stream, data_offset) || !read_uint32(stream, data_size))
        return -1;
    read_str(stream, entry_name, entry_name_width);
    return stream_failed(stream) ? -1 : 0;
}

// Where the index of `entry_count` entries ends: no entry for a count
// below 1.
long long index_end(std::int32_t entry_count)
{
    return header_width + index_entry_width * (entry_count > 0 ? entry_count + 0ll : 0ll);
}

// What the index of a piped archive, as far as its copy goes, says of its
// entries: whether the non-empty ones lie one after another past the index,
// so that a pipe can give each in turn; and the farthest byte any of them
// names. Leaves the stream at its start.
struct index_scan {
    bool in_order = true;
    long long farthest = 0;
    bool intact = true;  // the copy it was read from holds what the pipe gave
    long long spooled = 0;  // of a spool: how much of the pipe it holds, and their hash
    std::uint64_t hash = 0;
};

index_scan scan_index(std::FILE* stream)
{
    char entry_name[entry_name_width + 1];
    std::int32_t entry_count, data_offset;
    std::uint32_t data_size;
    index_scan scan;
    if (std::fseek(stream, signature_width, SEEK_SET) == 0 && read_int32(stream, &entry_count)) {
        long long end = index_end(entry_count);
        for (std::int32_t index = 0; index < entry_count; ++index) {
            if (read_entry(stream, &data_offset, &data_size, entry_name) != 0)
                break;
            if (data_size == 0 || data_offset < 0)
                continue;  // copies nothing: done, or failed at once
            scan.in_order = scan.in_order && data_offset >= end;
            end = data_offset + 0ll + data_size;
            scan.farthest = end > scan.farthest ? end : scan.farthest;
        }
    }
    std::clearerr(stream);
    std::fseek(stream, 0, SEEK_SET);
    return scan;
}

// Budgets of a piped archive. Its copy (the spool) takes at most half the
// room free in the working directory as the copy starts; where no spool can
// be made at all, its header and index are held in memory, up to 4 MiB (an
// index of 15,000 entries), and past that its header alone. After the walk
// the pipe is read on to the farthest byte the index names, and 64 MiB past
// that, and then let go of: the program feeding it ends well, however much
// more it has, and an endless pipe ends.
constexpr std::size_t memory_index_budget = 4 << 20;
constexpr long long drain_bound = 64ll << 20;

// Hashes bytes as they pass (FNV-1a, a byte at a time, so that where the
// pieces begin does not matter).
void hash_bytes(std::uint64_t* hash, const char* bytes, std::size_t size)
{
    for (std::size_t at = 0; at < size; ++at)
        *hash = (*hash ^ static_cast<unsigned char>(bytes[at])) * 0x100000001B3ull;
}

// Copies the next `size` bytes of `pipe` into `spool` through the run's
// buffer, adding them to `hash` and to `*spooled`, as far as the pipe goes.
// false: a write failed (a full disk), and the copy ends there.
bool spool_bytes(std::FILE* pipe, std::FILE* spool, archive_reading& reading, unsigned long long size,
                 std::uint64_t* hash, long long* spooled)
{
    std::span<char> bytes = reading.buffer->take();
    for (std::size_t count = 1; size > 0 && count > 0; size -= count) {
        count = std::fread(bytes.data(), 1, size < bytes.size() ? size : bytes.size(), pipe);
        reading.pipe_at += static_cast<long long>(count);
        if (count > 0 && write_all(fileno(spool), bytes.data(), count).failed())
            return false;
        hash_bytes(hash, bytes.data(), count);
        *spooled += static_cast<long long>(count);
    }
    return true;
}

// Whether the first `size` bytes of `spool` read back as they hashed when
// written: a file system may lose writes (a FUSE driver did), and a wrong
// count or a wrong byte is worse than an archive that fails.
bool reads_back(std::FILE* spool, archive_reading& reading, long long size, std::uint64_t hash)
{
    std::span<char> bytes = reading.buffer->take();
    std::uint64_t again = 0xCBF29CE484222325ull;
    for (long long at = 0, count = 1; at < size && count > 0; at += count) {
        const auto left = static_cast<unsigned long long>(size - at);
        count = read_at(spool, bytes.data(), left < bytes.size() ? left : bytes.size(), at);
        hash_bytes(&again, bytes.data(), count > 0 ? static_cast<std::size_t>(count) : 0);
    }
    return again == hash;
}

// Copies the header and index of the piped archive into `spool`, and where
// the entries do not come in order, the rest of the archive as far as the
// index names, to be read by position; else the walk reads each entry from
// the pipe. Never past `room` bytes in all: a copy cut short there (or by a
// full disk, or by the pipe's end) is walked as a short archive. A copy that
// does not read back as written is not walked at all (`intact`, which the
// caller asks reads_back). `held`: the first bytes of the archive, read from
// the pipe already.
index_scan spool_archive(std::FILE* pipe, std::FILE* spool, archive_reading& reading, long long room,
                         std::span<const char> held = {})
{
    std::uint64_t hash = 0xCBF29CE484222325ull;
    long long spooled = 0;  // the bytes it holds, all written
    if (!write_all(fileno(spool), held.data(), held.size()).failed()) {
        hash_bytes(&hash, held.data(), held.size());
        spooled = static_cast<long long>(held.size());
    } else {
        room = 0;
    }
    auto copy_up_to = [&](long long end) {
        end = end < room ? end : room;
        if (reading.pipe_at < end &&
            !spool_bytes(pipe, spool, reading, static_cast<unsigned long long>(end - reading.pipe_at), &hash, &spooled))
            room = spooled;  // full: no more
    };
    // What it holds so far, read through a descriptor of its own where it
    // has a name (one at a time).
    file_ptr anew;
    auto read_so_far = [&] {
        anew.reset(read_spool_anew());
        return anew ? anew.get() : spool;
    };
    std::int32_t entry_count = 0;
    unsigned char count[4];  // read by position: the spool's own position is where the copy goes on
    copy_up_to(header_width);
    if (read_at(read_so_far(), reinterpret_cast<char*>(count), sizeof count, signature_width) == sizeof count)
        entry_count = static_cast<std::int32_t>(le32(count));
    copy_up_to(index_end(entry_count));
    index_scan scan = scan_index(read_so_far());
    anew.reset();
    if (!scan.in_order) {
        std::fseek(spool, 0, SEEK_END);  // where the file's own position goes on writing
        copy_up_to(scan.farthest);
        std::fseek(spool, 0, SEEK_SET);
    }
    scan.spooled = spooled;
    scan.hash = hash;
    return scan;
}

// The entry count in the `size` bytes of an archive's start at `bytes`; 0
// where they end first.
std::int32_t entry_count_of(const char* bytes, std::size_t size)
{
    unsigned char count[4] = {};
    if (size >= header_width)
        std::memcpy(count, bytes + signature_width, sizeof count);
    return static_cast<std::int32_t>(le32(count));
}

// Reads the header and index of the piped archive into `memory` where no
// spool can be made: within memory_index_budget, else the header alone.
// Returns how many bytes it holds; 0 without memory.
std::size_t hold_index(std::FILE* pipe, archive_reading& reading, std::vector<char>* memory)
{
    unsigned char header[header_width];
    std::size_t size = std::fread(header, 1, sizeof header, pipe);
    reading.pipe_at += static_cast<long long>(size);
    if (size == sizeof header) {
        const long long end = index_end(entry_count_of(reinterpret_cast<const char*>(header), size));
        if (end <= static_cast<long long>(memory_index_budget))
            size = static_cast<std::size_t>(end);
    }
    *memory = bytes_if_free(size > 0 ? size : 1);
    if (memory->empty())
        return 0;
    std::size_t held = size < sizeof header ? size : sizeof header;
    std::memcpy(memory->data(), header, held);
    for (std::size_t count = 1; held < size && count > 0; held += count) {
        count = std::fread(memory->data() + held, 1, size - held, pipe);
        reading.pipe_at += static_cast<long long>(count);
    }
    return held;
}

// Reads the header and walks the index of an opened archive. -1: the archive
// ends inside its header or index, or cannot be read.
int walk_index(const char* archive_path, const archive_source& archive, archive_reading& reading, run_tally& tally)
{
    std::FILE* stream = archive.stream;
    char signature[signature_width + 1];
    read_str(stream, signature, signature_width);
    std::int32_t entry_count;
    if (stream_failed(stream) || !read_int32(stream, &entry_count)) {
        report("failed to read ", archive_path);
        return -1;
    }
    std::printf("%ld sounds in ", static_cast<long>(entry_count));
    write_name(stdout, archive_path);
    std::fputs(".", stdout);
    end_line(stdout);

    for (std::int32_t index = 0; index < entry_count; ++index) {
        std::int32_t data_offset;
        std::uint32_t data_size;
        char entry_name[entry_name_width + 1];
        if (read_entry(stream, &data_offset, &data_size, entry_name) != 0) {
            // The archive ends inside this entry: nothing more to walk.
            report("failed to read ", archive_path);
            return -1;
        }
        std::size_t line_columns = announce_entry(entry_name);
        reading.show_progress = line_columns > 0 && data_size >= progress_threshold && percentage_fits(line_columns);
        char output_name[output_name_size];
        cause why;
        int status = extract_wav(split_file_name(entry_name, output_name), archive, reading, data_offset, data_size, &why);
        std::fputs(status == 0 ? "done." : "failed.", stdout);
        end_line(stdout);
        ++(status == 0 ? tally.done : tally.failed);
        if (status != 0)
            report_failure(entry_name, why);
    }
    return 0;
}

}  // namespace

char* read_str(std::FILE* stream, char* field_buffer, std::size_t width)
{
    std::size_t count = std::fread(field_buffer, 1, width, stream);
    field_buffer[count] = '\0';
    return field_buffer;
}

const char* split_file_name(const char* entry_name, char (&output_name)[output_name_size])
{
    return last_component(as_utf8(entry_name, output_name), stored_separators);
}

int extract_wav(const char* output_name, const archive_source& archive, archive_reading& reading,
                std::int32_t data_offset, std::uint32_t data_size, cause* why)
{
    cause ignored;
    why = why != nullptr ? why : &ignored;
    // -1 at once, before anything is created: no such range in the archive,
    // or a name that is no plain file here.
    bool past_the_end = archive.size >= 0 && data_offset + 0ll + data_size > archive.size;
    *why = {data_size > 0 && data_offset < 0 ? reason::before_start
            : data_size > 0 && past_the_end  ? reason::ends_first
            : !is_plain_name(output_name)    ? reason::not_a_name
                                             : reason::none};
    if (why->failed())
        return -1;
    // -1: the copy failed, or the name is a directory or an archive of the run.
    return write_output(output_name, archive, reading, data_offset, data_size, why);
}

int load_snd_zqa(const archive_path& path, archive_handle held, const run_archives& archives, copy_buffer& buffer,
                 run_tally& tally)
{
    const char* archive_path = path.bytes;
    // Declared first, so that they go after the streams that use them.
    std::vector<char> index_buffer = bytes_if_free(index_buffer_size);  // one archive's at a time
    std::vector<char> held_index;
    struct spool_remover {
        ~spool_remover() { remove_spool(); }  // once the stream below has closed it
    } spool_goes;
    file_ptr stream(open_archive(path, held));
    if (!stream) {
        report("failed to open ", archive_path);
        ++tally.failed;
        return -1;
    }
    buffer.take();  // its window holds another archive's bytes
    archive_reading reading{&buffer};
    file_ptr pipe;
    bool spooled = false;
    index_scan held_scan;  // of an index held in memory
    if (!reads_by_position(stream.get())) {
        pipe = std::move(stream);
        std::setvbuf(pipe.get(), nullptr, _IONBF, 0);  // the kernel moves bytes from it too
        stream.reset(open_spool(false));
        spooled = stream != nullptr;
        std::size_t held_size = 0;
        if (!stream && (held_size = hold_index(pipe.get(), reading, &held_index)) > 0)
            stream.reset(open_memory_stream(held_index.data(), held_size));
        // An index held whole whose entries come in order needs no spool;
        // else a spool under a hidden name takes what is held, and the rest.
        if (stream && !spooled) {
            held_scan = scan_index(stream.get());
            if (held_size < static_cast<std::size_t>(index_end(entry_count_of(held_index.data(), held_size))) ||
                !held_scan.in_order) {
                if (file_ptr named{open_spool(true)}) {
                    stream = std::move(named);
                    spooled = true;
                }
            }
        }
    }
    int status = -1;
    long long farthest = 0;
    if (stream) {
        if (!index_buffer.empty())
            std::setvbuf(stream.get(), index_buffer.data(), _IOFBF, index_buffer_size);
        // An open stream's file always has an identity; the sentinel matches none.
        archive_source archive{stream.get(), -1, {~0ull, ~0ull}, &archives, pipe.get()};
        if (pipe) {
            const long long room = free_room();
            const std::span<const char> held_bytes(held_index.data(), !held_index.empty() ? static_cast<std::size_t>(reading.pipe_at) : 0);
            index_scan scan = !spooled ? held_scan
                                       : spool_archive(archive.pipe, archive.stream, reading,
                                                       room >= 0 ? room / 2 : LLONG_MAX, held_bytes);
            if (spooled) {  // read through a descriptor of its own where it has a name (fusefat)
                stream.reset(reopen_spool(stream.release()));
                if (stream && !index_buffer.empty())
                    std::setvbuf(stream.get(), index_buffer.data(), _IOFBF, index_buffer_size);
                archive.stream = stream.get();
                scan.intact = stream && reads_back(archive.stream, reading, scan.spooled, scan.hash);
            }
            farthest = scan.farthest;
            if (!scan.in_order)
                archive.pipe = nullptr;  // read by position from its copy, as far as that goes
            if (!scan.intact)
                archive.stream = nullptr;
        }
        if (archive.stream != nullptr) {
            identify_stream(archive.stream, &archive.identity, &archive.size);
            if (archive.pipe != nullptr)
                archive.size = -1;  // the copy holds the index alone
            status = walk_index(archive_path, archive, reading, tally);
        } else {
            report("failed to read ", archive_path);
        }
    } else {
        report("failed to read ", archive_path);
    }
    if (pipe) {  // read on, so that the program feeding it ends well
        read_pipe_to(pipe.get(), &reading.pipe_at, (farthest > reading.pipe_at ? farthest : reading.pipe_at) + drain_bound,
                     buffer);
        let_go_of_pipe(pipe.get());
    }
    tally.failed += status != 0;  // an archive that could not be read to the end of its index
    return status;
}

run_tally extract_archives(const archive_list& archives)
{
    run_tally tally;
    run_archives run;
    std::vector<archive_handle> held;  // the walk takes each held archive and releases it
    if (!run.find(archives, &held)) {
        std::fflush(stdout);
        std::fputs("no memory to tell the run's archives: no sound replaces a file.", stderr);
        end_line(stderr);
    }
    // The run's one copy buffer, 1 MiB, or as much of it as the heap has.
    std::vector<char> bytes;
    for (std::size_t size = copy_buffer_size; bytes.empty() && size >= 4096; size /= 2)
        bytes = bytes_if_free(size);
    copy_buffer buffer(bytes);
    for (std::size_t at = 0; at < archives.size(); ++at)
        load_snd_zqa(archives[at], held.empty() ? no_archive : held[at], run, buffer, tally);
    return tally;
}
