// snd_extractor: unpacks sound archives into the current directory.
//
//   snd_extractor ARCHIVE...
//
// Every argument is an archive path, processed in order. The exit status is
// 255 when no archive is named and 0 otherwise; failures of single archives
// and entries show only in the messages.
#include <cstdio>
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
    // load it). Past the limit of open files, an archive is identified by
    // its path now and opened at its turn.
    std::vector<file_ptr> streams;
    std::vector<file_identity> archives;
    for (int arg = 1; arg < argc; ++arg) {
        streams.emplace_back(open_archive(argv[arg]));
        file_identity identity;
        long long size;
        if (streams.back() ? identify_stream(streams.back().get(), &identity, &size) == 0
                           : identify_file(argv[arg], &identity) == 0)
            archives.push_back(identity);
    }
    // The run's one copy buffer, on the heap: the stack may be small.
    std::vector<char> copy_buffer(copy_buffer_size);
    for (int arg = 1; arg < argc; ++arg)
        load_snd_zqa(argv[arg], std::move(streams[static_cast<std::size_t>(arg - 1)]), archives, copy_buffer);

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
