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

namespace {

// An array from malloc, released with free when it goes.
struct heap_release {
    void operator()(void* block) const { std::free(block); }
};
template <typename T>
using heap_array = std::unique_ptr<T[], heap_release>;

}  // namespace

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

    // Every archive is held open from the start: no entry may replace an
    // archive of this run, whatever its spelling, and an open file keeps
    // its identity (some file systems number a file anew each time they
    // load it). Past the limit of open files, an archive is opened at its
    // turn, and identified anew whenever a name is about to be replaced;
    // so is every archive when there is no memory to hold them.
    // (malloc, which answers null where the heap is exhausted: even the
    // nothrow new throws inside, and then aborts for want of memory.)
    const auto count = static_cast<std::size_t>(argc - 1);
    heap_array<std::FILE*> streams(static_cast<std::FILE**>(std::calloc(count, sizeof(std::FILE*))));
    heap_array<file_identity> identities(static_cast<file_identity*>(std::calloc(count, sizeof(file_identity))));
    heap_array<const char*> unheld(static_cast<const char**>(std::calloc(count, sizeof(const char*))));
    std::size_t held = 0, not_held = 0;
    for (std::size_t at = 0; streams && identities && unheld && at < count; ++at) {
        streams[at] = open_archive(argv[at + 1]);
        long long size;
        if (streams[at] == nullptr)
            unheld[not_held++] = argv[at + 1];
        else if (identify_stream(streams[at], &identities[held], &size) == 0)
            ++held;
    }
    run_archives archives{{identities.get(), held}, {unheld.get(), not_held}};
    if (!streams || !identities || !unheld)
        archives = {{}, {argv + 1, count}};
    // The run's one copy buffer, on the heap (the stack may be small), or a
    // small one here when the heap has no room for it.
    heap_array<char> heap_buffer(static_cast<char*>(std::malloc(copy_buffer_size)));
    char small_buffer[4096];
    std::span<char> copy_buffer = heap_buffer ? std::span<char>(heap_buffer.get(), copy_buffer_size)
                                              : std::span<char>(small_buffer);
    for (std::size_t at = 0; at < count; ++at)  // the walk takes each stream and closes it
        load_snd_zqa(argv[at + 1], file_ptr(streams ? streams[at] : nullptr), archives, copy_buffer);

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
