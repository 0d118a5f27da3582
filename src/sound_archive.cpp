// The archive walk: reads the index entry by entry and copies each entry's
// bytes into a file of its own in the working directory.
//
// The index streams through the archive's FILE buffer; entry data is read with
// positional reads on the same file, so the stream's position never moves.
// An output file only ever appears at its name holding the entry's complete
// bytes: a free name is created exclusively and removed again if the copy
// fails; anything already at the name is replaced by renaming a finished
// temporary file over it.
#include "sound_archive.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t copy_buffer_size = 64 * 1024;

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

// Copies through one buffer: the road where the kernel cannot copy. -1: the
// archive ends inside the range, or a read or a write failed.
int copy_through_buffer(std::FILE* stream, long long offset, unsigned long long size, int out)
{
    char buffer[copy_buffer_size];
    while (size > 0) {
        std::size_t want = size < copy_buffer_size ? static_cast<std::size_t>(size) : copy_buffer_size;
        long long count = read_at(stream, buffer, want, offset);
        if (count <= 0 || write_all(out, buffer, static_cast<std::size_t>(count)) != 0)
            return -1;
        offset += count;
        size -= static_cast<unsigned long long>(count);
    }
    return 0;
}

// Copies `size` bytes at `offset` of the archive to `out`: by the kernel
// where it can, through the buffer for the rest. -1: not every byte arrived.
int copy_range(std::FILE* stream, long long offset, unsigned long long size, int out)
{
    if (copy_in_kernel(stream, &offset, &size, out) != 0)
        return -1;
    return copy_through_buffer(stream, offset, size, out);
}

// Copies the entry into the new, empty file `out` and closes it. -1: the file
// does not hold every byte.
int fill_and_close(std::FILE* stream, std::int32_t data_offset, std::uint32_t data_size, int out)
{
    int status = copy_range(stream, data_offset, data_size, out);
    if (close_file(out) != 0)
        status = -1;
    return status;
}

// ---- When a name may be written ---------------------------------------------

// Whatever exists at `name` may be replaced: not a directory, and neither the
// archive being read nor another archive of the run, however it is reached.
bool may_replace(const char* name, std::FILE* stream, std::span<const file_identity> archives)
{
    file_identity named[2];
    if (inspect_name(name, &named[0]) != name_kind::other)
        return false;
    if (identify_file(name, &named[1]) != 0)  // where a link leads, if anywhere
        named[1] = named[0];
    file_identity archive_read;
    if (identify_stream(stream, &archive_read) != 0)
        return false;
    for (const file_identity& identity : named) {
        if (same_file(identity, archive_read))
            return false;
        for (const file_identity& archive : archives)
            if (same_file(identity, archive))
                return false;
    }
    return true;
}

// Creates a fresh hidden temporary file in the working directory, naming it
// in `temp_name`. Returns its descriptor; -1: no such file could be made.
int create_temporary(char (&temp_name)[64])
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(temp_name, sizeof temp_name, ".snd_extractor-%ld-%d.tmp", process_id(), attempt);
        int fd = create_exclusive(temp_name);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
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
void report_archive_failure(const char* format, const char* archive_path)
{
    std::fflush(stdout);
    std::fprintf(stderr, format, archive_path);
}

// Starts an entry's progress line. On a terminal, control bytes of the stored
// path are shown as '?', and the text is shown before the copy begins.
void announce_entry(const char* entry_name, bool to_terminal)
{
    char shown[entry_name_width + 1];
    if (to_terminal) {
        std::size_t length = 0;
        for (; entry_name[length] != '\0' && length < entry_name_width; ++length) {
            unsigned char byte = static_cast<unsigned char>(entry_name[length]);
            shown[length] = byte < 0x20 || byte == 0x7F ? '?' : entry_name[length];
        }
        shown[length] = '\0';
    }
    std::printf("extract [%s]...", to_terminal ? shown : entry_name);
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
int walk_index(const char* archive_path, std::FILE* stream, std::span<const file_identity> archives)
{
    char signature[signature_width + 1];
    read_str(stream, signature, signature_width);
    std::int32_t entry_count;
    if (stream_failed(stream) || !read_int32(stream, &entry_count)) {
        report_archive_failure("failed to read %s.\n", archive_path);
        return -1;
    }
    std::printf("%ld sounds in %s.\n", static_cast<long>(entry_count), archive_path);

    bool to_terminal = stdout_is_terminal();
    for (std::int32_t index = 0; index < entry_count; ++index) {
        std::int32_t data_offset;
        std::uint32_t data_size;
        char entry_name[entry_name_width + 1];
        if (read_entry(stream, &data_offset, &data_size, entry_name) != 0) {
            // The archive ends inside this entry: nothing more to walk.
            report_archive_failure("failed to read %s.\n", archive_path);
            return -1;
        }
        announce_entry(entry_name, to_terminal);
        int status = extract_wav(split_file_name(entry_name), stream, data_offset, data_size, archives);
        std::fputs(status == 0 ? "done.\n" : "failed.\n", stdout);
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
    const char* name = entry_name + std::strlen(entry_name);
    while (name > entry_name && !is_separator(name[-1]))
        --name;
    return name;
}

int extract_wav(const char* output_name, std::FILE* stream, std::int32_t data_offset, std::uint32_t data_size,
                std::span<const file_identity> archives)
{
    if (data_offset < 0 && data_size > 0)
        return -1;  // no byte of the archive lies there
    if (!is_plain_name(output_name))
        return -1;

    // A free name: create it, and remove it again if the copy falls short.
    int out = create_exclusive(output_name);
    if (out >= 0) {
        if (fill_and_close(stream, data_offset, data_size, out) == 0)
            return 0;
        remove_name(output_name);
        return -1;
    }
    if (errno != EEXIST || !may_replace(output_name, stream, archives))
        return -1;

    // Something is there already: it stays until a complete copy replaces it.
    char temp_name[64];
    out = create_temporary(temp_name);
    if (out < 0)
        return -1;
    if (fill_and_close(stream, data_offset, data_size, out) == 0 && replace_file(temp_name, output_name) == 0)
        return 0;
    remove_name(temp_name);
    return -1;
}

int load_snd_zqa(const char* archive_path, std::span<const file_identity> archives)
{
    file_ptr stream(std::fopen(archive_path, "rb"));
    if (!stream) {
        report_archive_failure("failed to open %s.\n", archive_path);
        return -1;
    }
    return walk_index(archive_path, stream.get(), archives);
}
