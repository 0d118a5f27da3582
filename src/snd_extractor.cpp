// snd_extractor: unpacks sound archives into the current directory.
//
//   snd_extractor ARCHIVE...
//
// Every argument is an archive path, processed in order. The exit status is
// 255 when no archive is named and 0 otherwise; failures of single archives
// and entries show only in the messages.
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
        write_text(stderr, program);
        std::fputs(" zqa1 zqa2 zq3...", stderr);
        end_line(stderr);
        return -1;
    }

    // No entry may replace an archive of this run, whatever its spelling:
    // every archive is identified at the start. Regular files are held open
    // as far as the descriptor budget goes, since an open file keeps its
    // identity (some file systems number a file anew each time they load
    // it); the others are identified anew by path whenever a name is about
    // to be replaced. FIFOs, devices and sockets are opened only at their
    // turn: an early open would wait for a writer, or end one. (malloc,
    // which answers null where the heap is exhausted: even the nothrow new
    // throws inside, and then aborts for want of memory. About 32 bytes an
    // archive.)
    const auto count = static_cast<std::size_t>(argc - 1);
    heap_array<archive_handle> held(static_cast<archive_handle*>(std::malloc(count * sizeof(archive_handle))));
    heap_array<file_identity> identities(static_cast<file_identity*>(std::calloc(count, sizeof(file_identity))));
    heap_array<const char*> unheld(static_cast<const char**>(std::calloc(count, sizeof(const char*))));
    run_archives archives{{}, {argv + 1, count}};
    if (held && identities && unheld) {
        std::size_t budget = archive_budget(), identified = 0, not_held = 0;
        for (std::size_t at = 0; at < count; ++at) {
            held[at] = no_archive;
            const char* path = argv[at + 1];
            archive_kind kind = inspect_archive(path, &identities[identified]);
            if (kind == archive_kind::regular && budget > 0 &&
                (held[at] = hold_archive(path, &identities[identified])) != no_archive)
                --budget;
            else
                unheld[not_held++] = path;
            identified += kind != archive_kind::missing;
        }
        archives = {{identities.get(), identified}, {unheld.get(), not_held}};
    } else {
        held.reset();  // every archive is opened at its turn
    }
    // The run's one copy buffer, on the heap, or a small static one when the
    // heap has no room for it (the stack may be 16 KiB).
    heap_array<char> heap_buffer(static_cast<char*>(std::malloc(copy_buffer_size)));
    static char small_buffer[4096];
    std::span<char> copy_buffer = heap_buffer ? std::span<char>(heap_buffer.get(), copy_buffer_size)
                                              : std::span<char>(small_buffer);
    for (std::size_t at = 0; at < count; ++at)  // the walk takes each held archive and releases it
        load_snd_zqa(argv[at + 1], held ? held[at] : no_archive, archives, copy_buffer);

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
