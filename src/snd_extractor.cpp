// snd_extractor: unpacks sound archives into the current directory.
//
//   snd_extractor ARCHIVE...
//
// Every argument is an archive path, processed in order. The exit status is
// -1 when no archive is named (255 where a system shows the low 8 bits,
// 0xFFFFFFFF on Windows) and 0 otherwise; failures of single archives and
// entries show only in the messages.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <utility>

#include "sound_archive.h"

int snd_extractor(int argc, char* argv[])
{
    start_platform();
    if (argc < 2) {
        const char* program = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "snd_extractor";
        std::fputs("Usage:", stderr);
        write_name(stderr, program);
        std::fputs(" zqa1 zqa2 zq3...", stderr);
        end_line(stderr);
        return -1;
    }

    // No sound may replace an archive of this run: each is found at the
    // start, and regular files are held open as far as the descriptor budget
    // goes (8 bytes an archive, from malloc: where the heap has no room,
    // every archive is opened at its turn).
    const auto count = static_cast<std::size_t>(argc - 1);
    const std::span<const char* const> paths(argv + 1, count);
    heap_array<archive_handle> held(static_cast<archive_handle*>(std::malloc(count * sizeof(archive_handle))));
    run_archives archives;
    find_run_archives(paths, held.get(), &archives);
    // The run's one copy buffer, on the heap, or a small static one when the
    // heap has no room for it (the stack may be 16 KiB).
    heap_array<char> heap_buffer(static_cast<char*>(std::malloc(copy_buffer_size)));
    static char small_buffer[4096];
    copy_buffer buffer(heap_buffer ? std::span<char>(heap_buffer.get(), copy_buffer_size) : std::span<char>(small_buffer));
    for (std::size_t at = 0; at < count; ++at)  // the walk takes each held archive and releases it
        load_snd_zqa(paths[at], held ? held[at] : no_archive, archives, buffer);

    // Progress lines that could not be written (a full disk, a closed
    // descriptor) are worth one word on standard error.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("failed to write standard output.", stderr);
        end_line(stderr);
    }
    return 0;
}

int main(int argc, char* argv[])
{
    return snd_extractor(argc, argv);
}
