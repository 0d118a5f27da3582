// Shared pieces of the tests: scratch directories, files, and running the
// real snd_extractor binary.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

void write_file(const fs::path& path, const std::string& bytes);
std::string read_file(const fs::path& path);
// Names of the entries in `dir`, sorted.
std::vector<std::string> list_dir(const fs::path& dir);

// Where the tool's standard output goes.
enum class output_to { file, terminal, full_device, nowhere };

struct run_options {
    bool merge_output = false;          // standard error into the standard output file
    output_to out = output_to::file;    // a pseudo-terminal, /dev/full, or a closed descriptor
    long long file_size_limit = -1;     // RLIMIT_FSIZE for the tool, in bytes
    long long memory_limit = -1;        // RLIMIT_AS for the tool, in bytes
    long long stack_limit = -1;         // RLIMIT_STACK for the tool, in bytes
    long long open_files_limit = -1;    // RLIMIT_NOFILE for the tool
    bool without_unnamed_files = false; // as on a file system without O_TMPFILE
    int inherited_fd = -1;              // a descriptor the tool inherits
    bool empty_argv = false;            // start with no argument vector at all
};

struct run_result {
    std::string out;
    std::string err;
    int exit_code = -1;    // when the tool exited
    int term_signal = 0;   // when a signal ended it
};

// Whether the tool under test is the Windows executable, run by a launcher.
bool testing_windows_build();

// Whether the launcher, if the tool needs one, is installed here.
bool launcher_installed();

// Runs the tool with `args` (after the program name) in `dir`. Output of the
// Windows build has its "\r\n" line ends turned into "\n".
run_result run_tool(const fs::path& dir, const std::vector<std::string>& args, const run_options& options = {});

// Starts the tool like run_tool, with its output to the null device, and
// returns its process id without waiting.
int start_tool(const fs::path& dir, const std::vector<std::string>& args, const run_options& options = {});

// Waits for a started tool to end.
run_result wait_tool(int pid);
