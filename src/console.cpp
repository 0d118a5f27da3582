// Names on a terminal, and the lines on standard error.
#include "console.h"

#include "platform.h"
#include "terminal_text.h"

std::size_t write_name(std::FILE* stream, const char* name)
{
    if (!is_terminal(stream)) {
        std::fputs(name, stream);
        return 0;
    }
    char room[output_name_size];  // for a stored name in a Windows code page
    const char* text = as_utf8(name, room);
    // Masked a piece of whole characters at a time, on the stack, however
    // long the name (an archive's path may be).
    std::size_t columns = 0;
    char shown[256];
    while (*text != '\0') {
        text += mask_controls(text, shown, sizeof shown);
        write_terminal(stream, shown);
        columns += display_columns(shown);
    }
    return columns;
}

void report(const char* before, const char* name, const char* after)
{
    std::fflush(stdout);
    std::fputs(before, stderr);
    write_name(stderr, name);
    std::fputs(after, stderr);
    std::fputs(".", stderr);
    end_line(stderr);
    std::fflush(stderr);  // the Windows C runtime buffers it into a file
}
