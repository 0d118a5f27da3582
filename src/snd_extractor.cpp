// snd_extractor: unpacks sound archives into the current directory.
//
//   snd_extractor ARCHIVE...
//
// Every argument is an archive path, processed in order. The exit status is
// 255 when no archive is named and 0 otherwise; failures of single archives
// and entries show only in the messages.
#include <cstdio>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

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

    // Every archive is held open from the start: no entry may replace an
    // archive of this run, whatever its spelling, and an open file keeps
    // its identity (some file systems number a file anew each time they
    // load it). Past the limit of open files, an archive is opened at its
    // turn, and identified anew whenever a name is about to be replaced.
    std::vector<file_ptr> streams;
    std::vector<file_identity> identities;
    std::vector<const char*> unheld;
    for (int arg = 1; arg < argc; ++arg) {
        streams.emplace_back(open_archive(argv[arg]));
        file_identity identity;
        long long size;
        if (streams.back() && identify_stream(streams.back().get(), &identity, &size) == 0)
            identities.push_back(identity);
        else if (!streams.back())
            unheld.push_back(argv[arg]);
    }
    // The run's one copy buffer, on the heap (the stack may be small), or a
    // small one here when the heap has no room for it.
    std::unique_ptr<char[]> heap_buffer(new (std::nothrow) char[copy_buffer_size]);
    char small_buffer[4096];
    std::span<char> copy_buffer = heap_buffer ? std::span<char>(heap_buffer.get(), copy_buffer_size)
                                              : std::span<char>(small_buffer);
    for (int arg = 1; arg < argc; ++arg)
        load_snd_zqa(argv[arg], std::move(streams[static_cast<std::size_t>(arg - 1)]), {identities, unheld},
                     copy_buffer);

    // Progress lines that could not be written (a full disk, a closed
    // descriptor) are worth one word on standard error.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
    {
        std::fputs("failed to write standard output.", stderr);
        end_line(stderr);
    }
    return 0;
}

int main(int argc, char* argv[])
{
    return snd_extractor(argc, argv);
}
