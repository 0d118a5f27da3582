// The archive walk: reads the index entry by entry and copies each entry's
// bytes into a file of its own in the working directory.
//
// The index streams through the archive's FILE buffer; entry data is read with
// positional reads on the same file, so the stream's position never moves.
// An output file only ever appears at its name holding the entry's complete
// bytes (see "Output files" below).
#include "sound_archive.h"

#include <cerrno>
#include <cstdio>

namespace {

// ---- Copying an entry -------------------------------------------------------

// Writes all `size` bytes to `fd`. -1: a write failed or wrote nothing.
int write_all(int fd, const char* buffer, std::size_t size)
{
    while (size > 0) {
        long long count = write_some(fd, buffer, size);
        if (count <= 0)
            return -1;
        buffer += count;
        size -= static_cast<std::size_t>(count);
    }
    return 0;
}

// Copies `size` bytes at `offset` of the archive to `out`: by the kernel
// where it can, through the run's buffer for the rest. -1: the archive ends
// inside the range, or a read or a write failed.
int copy_range(const archive_source& archive, long long offset, unsigned long long size, int out)
{
    if (copy_in_kernel(archive.stream, &offset, &size, out) != 0)
        return -1;
    std::span<char> buffer = archive.copy_buffer;
    while (size > 0) {
        std::size_t want = size < buffer.size() ? static_cast<std::size_t>(size) : buffer.size();
        long long count = read_at(archive.stream, buffer.data(), want, offset);
        if (count <= 0 || write_all(out, buffer.data(), static_cast<std::size_t>(count)) != 0)
            return -1;
        offset += count;
        size -= static_cast<unsigned long long>(count);
    }
    return 0;
}

// ---- When a name may be written ---------------------------------------------

// A file may be put at `name`: nothing is there, or something that may be
// replaced: not a directory, and neither the archive being read nor another
// archive of the run, however it is reached.
bool may_write(const char* name, const archive_source& archive)
{
    file_identity named[2];
    name_kind there = inspect_name(name, &named[0]);
    if (there != name_kind::other)
        return there == name_kind::nothing;
    if (identify_file(name, &named[1]) != 0)  // where a link leads, if anywhere
        named[1] = named[0];
    for (const file_identity& identity : named) {
        if (same_file(identity, archive.identity))
            return false;
        for (const file_identity& other : archive.archives)
            if (same_file(identity, other))
                return false;
    }
    return true;
}

// ---- Output files: whole or absent ------------------------------------------

// Copies the entry into a new output file and names it once complete: a
// free name at once, a taken one only where it may be written. -1: nothing
// new is left at any name.
int write_output(const char* output_name, const archive_source& archive, std::int32_t data_offset,
                 std::uint32_t data_size)
{
    output_file file;
    if (file.descriptor() < 0 || copy_range(archive, data_offset, data_size, file.descriptor()) != 0)
        return -1;
    if (file.name(output_name, false) == 0)
        return 0;
    if (errno != EEXIST || !may_write(output_name, archive))
        return -1;
    return file.name(output_name, true);
}

// ---- Reading the archive --------------------------------------------------

bool stream_failed(std::FILE* stream)
{
    return std::ferror(stream) != 0 || std::feof(stream) != 0;
}

bool read_uint32(std::FILE* stream, std::uint32_t* value)
{
    unsigned char bytes[4];
    if (std::fread(bytes, 1, sizeof bytes, stream) != sizeof bytes)
        return false;
    *value = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
             std::uint32_t{bytes[3]} << 24;
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

// Failures of the archive itself go to standard error, after everything that
// was printed before them.
void report_archive_failure(const char* failure, const char* archive_path)
{
    std::fflush(stdout);
    std::fputs(failure, stderr);
    write_text(stderr, archive_path);
    std::fputs(".", stderr);
    end_line(stderr);
    std::fflush(stderr);  // the Windows C runtime buffers it into a file
}

// The length of the valid UTF-8 sequence of two to four bytes that starts
// at `text`, or 0 when none starts there.
std::size_t utf8_sequence_length(const unsigned char* text)
{
    unsigned char lead = text[0];
    std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4                                   ? 4
                                                                                          : 0;
    for (std::size_t at = 1; at < length; ++at)
        if ((text[at] & 0xC0) != 0x80)  // a NUL ends the scan here too
            return 0;
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && text[1] < 0xA0) || (lead == 0xED && text[1] >= 0xA0) || (lead == 0xF0 && text[1] < 0x90) ||
        (lead == 0xF4 && text[1] >= 0x90))
        return 0;
    return length;
}

// The stored path as a terminal may show it, in `shown` (as long as the
// path, or shorter): C0 controls, DEL, U+0080-U+009F in UTF-8 and stray bytes
// 0x80-0x9F become '?', since terminals act on them; valid UTF-8 stays.
void mask_controls(const char* entry_name, char (&shown)[entry_name_width + 1])
{
    const auto* text = reinterpret_cast<const unsigned char*>(entry_name);
    std::size_t out = 0;
    for (std::size_t at = 0; text[at] != '\0';) {
        std::size_t length = text[at] < 0x80 ? 1 : utf8_sequence_length(text + at);
        bool control = text[at] < 0x20 || text[at] == 0x7F || (length == 0 && text[at] <= 0x9F) ||
                       (text[at] == 0xC2 && length == 2 && text[at + 1] <= 0x9F);
        if (control || length == 0) {
            shown[out++] = control ? '?' : entry_name[at];
            at += control && length > 0 ? length : 1;
            continue;
        }
        for (std::size_t end = at + length; at < end;)
            shown[out++] = entry_name[at++];
    }
    shown[out] = '\0';
}

// Starts an entry's progress line. On a terminal, control characters of the
// stored path are masked, and the text is shown before the copy begins.
void announce_entry(const char* entry_name, bool to_terminal)
{
    char shown[entry_name_width + 1];
    if (to_terminal)
        mask_controls(entry_name, shown);
    std::fputs("extract [", stdout);
    write_text(stdout, to_terminal ? shown : entry_name);
    std::fputs("]...", stdout);
    if (to_terminal)
        std::fflush(stdout);
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

// Reads the header and walks the index of an opened archive. -1: the archive
// ends inside its header or index, or cannot be read.
int walk_index(const char* archive_path, const archive_source& archive)
{
    std::FILE* stream = archive.stream;
    char signature[signature_width + 1];
    read_str(stream, signature, signature_width);
    std::int32_t entry_count;
    if (stream_failed(stream) || !read_int32(stream, &entry_count)) {
        report_archive_failure("failed to read ", archive_path);
        return -1;
    }
    std::printf("%ld sounds in ", static_cast<long>(entry_count));
    write_text(stdout, archive_path);
    std::fputs(".", stdout);
    end_line(stdout);

    bool to_terminal = stdout_is_terminal();
    for (std::int32_t index = 0; index < entry_count; ++index) {
        std::int32_t data_offset;
        std::uint32_t data_size;
        char entry_name[entry_name_width + 1];
        if (read_entry(stream, &data_offset, &data_size, entry_name) != 0) {
            // The archive ends inside this entry: nothing more to walk.
            report_archive_failure("failed to read ", archive_path);
            return -1;
        }
        announce_entry(entry_name, to_terminal);
        int status = extract_wav(split_file_name(entry_name), archive, data_offset, data_size);
        std::fputs(status == 0 ? "done." : "failed.", stdout);
        end_line(stdout);
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

const char* split_file_name(const char* entry_name)
{
    return after_last_separator(entry_name);
}

int extract_wav(const char* output_name, const archive_source& archive, std::int32_t data_offset,
                std::uint32_t data_size)
{
    // -1 at once, before anything is created: no such range in the archive,
    // or a name that is no plain file here.
    bool past_the_end = archive.size >= 0 && data_offset + 0ll + data_size > archive.size;
    if ((data_size > 0 && (data_offset < 0 || past_the_end)) || !is_plain_name(output_name))
        return -1;
    // -1: the copy failed, or the name is a directory or an archive of the run.
    return write_output(output_name, archive, data_offset, data_size);
}

int load_snd_zqa(const char* archive_path, file_ptr stream, std::span<const file_identity> archives,
                 std::span<char> copy_buffer)
{
    if (!stream)
        stream.reset(open_archive(archive_path));
    if (!stream) {
        report_archive_failure("failed to open ", archive_path);
        return -1;
    }
    // An open stream's file always has an identity; the sentinel matches none.
    archive_source archive{stream.get(), -1, {~0ull, ~0ull}, archives, copy_buffer};
    identify_stream(stream.get(), &archive.identity, &archive.size);
    return walk_index(archive_path, archive);
}
