// Shared pieces of the tests: scratch directories, files, and running the
// real snd_extractor binary.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "scratch.h"

// What the file system under `dir` holds, found by trying it there: FAT and
// exFAT have no FIFOs or links, and neither they nor NTFS take every name
// (':', control characters, bytes that are not UTF-8); many file systems
// have no unnamed files (O_TMPFILE).
bool holds_name(const fs::path& dir, const std::string& name);
// Why the file system under `dir` takes no `name`, in strerror's words; ""
// where it does.
std::string name_refusal(const fs::path& dir, const std::string& name);
bool holds_fifos(const fs::path& dir);
bool holds_links(const fs::path& dir);  // symbolic and hard
bool holds_unnamed_files(const fs::path& dir);
bool holds_exchange(const fs::path& dir);  // renameat2(RENAME_EXCHANGE)
bool holds_writers_to_size_limit(const fs::path& dir);  // RLIMIT_FSIZE (not fusefat)

// Where the tool's standard output goes.
enum class output_to { file, terminal, full_device, nowhere, closed_pipe };

struct run_options {
    bool merge_output = false;          // standard error into the standard output file
    output_to out = output_to::file;    // a pseudo-terminal, /dev/full, a closed descriptor, a pipe no one reads
    std::string stdin_bytes = {};       // standard input: a pipe carrying these bytes
    bool stdin_endless = false;         // and then their last 64 KiB again and again, until the tool lets go
    std::function<void()> stdin_ended = {};  // runs once those are all written or no one reads them any more
    int stdin_fd = -1;                  // standard input: this descriptor
    int stdout_fd = -1;                 // start_tool: standard output on this descriptor, not the null device
    long long file_size_limit = -1;     // RLIMIT_FSIZE for the tool, in bytes
    long long memory_limit = -1;        // RLIMIT_AS for the tool, in bytes
    long long stack_limit = -1;         // the stack the tool's own frames get, in bytes (RLIMIT_STACK)
    long long open_files_limit = -1;    // RLIMIT_NOFILE for the tool
    long long open_files_hard_limit = -1;  // its hard limit, where above that
    std::string faults = {};            // the fault shim's faults (tests/fault_shim.cpp)
    int inherited_fd = -1;              // a descriptor the tool inherits
    int inherited_count = 0;            // descriptors 120 and on that it inherits, open on /dev/null
    bool empty_argv = false;            // start with no argument vector at all
    bool as_init = false;               // as PID 1 of a new PID namespace (root only); SIGTERM is passed on
    std::string locale = {};            // LC_ALL for the Windows build under Wine (ja_JP.UTF-8: code page 932)
    bool input_from_terminal = false;   // with out = terminal: standard input is that terminal too
    int terminal_columns = 0;           // with out = terminal: the terminal's width (0: unknown)
    int seconds_limit = 0;              // run_tool ends the tool (SIGKILL) once it has run this long; 0: never
};

struct run_result {
    std::string out;
    std::string err;
    int exit_code = -1;    // when the tool exited
    int term_signal = 0;   // when a signal ended it
    std::size_t stdin_fed = 0;  // how much of run_options::stdin_bytes the tool took
    bool ended_by_limit = false;  // run_tool ended it at run_options::seconds_limit
};

// Whether the tool under test is the Windows executable, run by a launcher
// (Wine).
bool testing_windows_build();

// Whether the tool under test is a Linux executable of another machine, run
// by its emulator (qemu-user).
bool testing_under_emulator();

// Whether the launcher, if the tool needs one, is installed here.
bool launcher_installed();

// The text of lines as the tool under test writes them: each "\n" becomes
// "\r\n" for the Windows build.
std::string lines(const std::string& text);

// A FIFO to feed: its open waits for the tool to open it for reading;
// `opened` runs once it is open, before the bytes go.
struct fifo {
    fs::path path;
    std::string bytes;
    std::function<void()> opened = {};
};

// Feeds the FIFOs one after another on a thread of its own, as a program
// feeding the tool would. The answer is how many bytes went in; it waits
// for the thread when it goes.
std::future<std::size_t> feed_fifos(std::vector<fifo> fifos);

// Polls `done` every 200 microseconds until it holds, for `limit` at most.
// Returns whether it held.
bool poll_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::minutes(1));

// Runs the tool with `args` (after the program name) in `dir`, keeping its
// output byte for byte.
run_result run_tool(const fs::path& dir, const std::vector<std::string>& args, const run_options& options = {});

// Starts the tool like run_tool (its standard input fed as run_tool feeds
// it), with its output to the null device (or run_options::stdout_fd), and
// returns its process id without waiting.
int start_tool(const fs::path& dir, const std::vector<std::string>& args, const run_options& options = {});

// Waits for a started tool to end, and for what fed its standard input.
run_result wait_tool(int pid);

// Waits until the started tool is copying an entry in `dir`: a file it is
// writing there, unnamed or under a temporary name, holds data. false: it
// never did within a minute, or the tool ended first.
bool wait_until_copying(int pid, const fs::path& dir);

// The tool's reasons for a failed sound, as it words them.
namespace why {
inline const std::string folder = "a folder has that name";
inline const std::string archive = "an archive of this run has that name";
inline const std::string no_tables = "there was no memory to tell this run's archives";
inline const std::string no_name = "the file system takes no such name";
inline const std::string ends = "the archive ends before the sound does";
inline const std::string before = "the sound lies before the archive's start";
// The system's own words for an error: strerror's for `error` on Linux,
// `windows` for the Windows build (Wine's FormatMessageW, its full stop gone).
std::string system(int error, const std::string& windows = "");
}  // namespace why

// What a run is to print, a line at a time, each line ended as the tool
// under test ends it (CR LF on Windows; a line feed inside a stored path
// stays the byte it is): its standard output, its standard error, and both
// as one stream in the order written.
struct printed {
    std::string out, err, both;

    printed& output(const std::string& line) { return out += line + line_end(), both += line + line_end(), *this; }
    printed& error(const std::string& line) { return err += line + line_end(), both += line + line_end(), *this; }
    // "COUNT sounds in ARCHIVE."
    printed& count(long long count, const std::string& archive)
    {
        return output(std::to_string(count) + " sounds in " + archive + ".");
    }
    printed& done(const std::string& stored) { return output("extract [" + stored + "]...done."); }
    // The verdict, and the reason on standard error.
    printed& failed(const std::string& stored, const std::string& reason)
    {
        output("extract [" + stored + "]...failed.");
        return error("failed to extract " + stored + ": " + reason + ".");
    }
    printed& sound(const std::string& stored, bool extracted, const std::string& reason)
    {
        return extracted ? done(stored) : failed(stored, reason);
    }
    printed& operator+=(const printed& more) { return out += more.out, err += more.err, both += more.both, *this; }
    static std::string line_end() { return testing_windows_build() ? "\r\n" : "\n"; }
};
