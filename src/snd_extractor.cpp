// snd_extractor: unpacks sound archives into the current directory.
//
//   snd_extractor ARCHIVE...
//
// Every argument is an archive path, processed in order. The exit status is
// -1 when no archive is named (255 where a system shows the low 8 bits,
// 0xFFFFFFFF on Windows) and 0 otherwise; failures of single archives and
// entries show only in the messages. Started from Windows' shell in a
// console of its own, it waits for a key before that window closes.
#include "snd_extractor.h"

#include <cstdio>
#include <span>

#include "console.h"
#include "sound_archive.h"

int snd_extractor(int argc, char* argv[], const bool* listed)
{
    start_platform();
    if (argc < 2) {
        const char* program = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "snd_extractor";
        std::fputs("Usage:", stderr);
        write_name(stderr, program);
        std::fputs(" zqa1 zqa2 zq3...", stderr);
        end_line(stderr);
        std::fflush(stderr);
        if (waits_for_key(read_console_facts()))  // a double-click: the usage line stays readable
            say_and_wait("Press a key to close this window.");
        return -1;
    }
    const run_tally tally =
        extract_archives({std::span<char* const>(argv + 1, static_cast<std::size_t>(argc - 1)), listed ? listed + 1 : nullptr});

    // Progress lines that could not be written (a full disk, a closed
    // descriptor) are worth one word on standard error.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("failed to write standard output.", stderr);
        end_line(stderr);
    }
    // Started from the shell in a window of its own (Windows), the run's end
    // stays on the screen until a key is pressed.
    std::fflush(stderr);
    if (waits_for_key(read_console_facts()))
        say_and_wait(closing_line(tally, working_folder()));
    return 0;
}

#ifndef _WIN32
int main(int argc, char* argv[])
{
    return snd_extractor(argc, argv);
}
#endif
