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

void report(const char* before, const char* name, const char* after, const char* more)
{
    std::fflush(stdout);
    std::fputs(before, stderr);
    write_name(stderr, name);
    std::fputs(after, stderr);
    std::fputs(more, stderr);
    std::fputs(".", stderr);
    end_line(stderr);
    std::fflush(stderr);  // the Windows C runtime buffers it into a file
}

namespace {

// The tool's own words for each reason: short, with no name in them, no
// ": " and no line break (a parser splits the line at its last ": ").
const char* reason_text(reason why)
{
    switch (why) {
    case reason::folder_at_name:
        return "a folder has that name";
    case reason::archive_at_name:
        return "an archive of this run has that name";
    case reason::no_tables:
        return "there was no memory to tell this run's archives";
    case reason::not_a_name:
        return "the file system takes no such name";
    case reason::ends_first:
        return "the archive ends before the sound does";
    case reason::before_start:
        return "the sound lies before the archive's start";
    case reason::raced:
        return "another program changed the name meanwhile";
    case reason::none:
    case reason::system:
        break;
    }
    return "";
}

}  // namespace

void report_failure(const char* stored_path, const cause& why)
{
    char text[512];
    if (why.why == reason::system)
        system_error_text(why.error, text);
    else
        std::snprintf(text, sizeof text, "%s", reason_text(why.why));
    report("failed to extract ", stored_path, ": ", text);
}

bool waits_for_key(const console_facts& facts)
{
    return facts.processes == 1 && facts.input_is_console && facts.output_is_console && facts.has_window &&
           facts.started_by_shell;
}

std::string closing_line(const run_tally& tally, const std::string& folder)
{
    return std::to_string(tally.done) + " done, " + std::to_string(tally.failed) + " failed; the sounds are in " + folder +
           ". Press a key to close this window.";
}
