#include "test_support.h"

#include "output_file.h"    // temporary_prefix
#include "sound_archive.h"  // file_ptr

#include <algorithm>
#include <future>
#include <thread>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

#include <fcntl.h>
#include <sched.h>
#include <sys/personality.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#if !defined(SND_EXTRACTOR_PATH) || !defined(SND_EXTRACTOR_LAUNCHER)
#error "SND_EXTRACTOR_PATH and SND_EXTRACTOR_LAUNCHER must name the tool under test"
#endif

bool testing_windows_build()
{
    return std::string_view(SND_EXTRACTOR_PATH).ends_with(".exe");
}

bool testing_under_emulator()
{
    return !std::string_view(SND_EXTRACTOR_LAUNCHER).empty() && !testing_windows_build();
}

bool launcher_installed()
{
    return std::string_view(SND_EXTRACTOR_LAUNCHER).empty() ||
           std::system("command -v '" SND_EXTRACTOR_LAUNCHER "' >/dev/null") == 0;
}

bool holds_name(const fs::path& dir, const std::string& name)
{
    return name_refusal(dir, name).empty();
}

std::string name_refusal(const fs::path& dir, const std::string& name)
{
    int fd = open((dir / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return std::strerror(errno);
    close(fd);
    const std::vector<std::string> listed = list_dir(dir);  // as spelled: vfat would drop a trailing dot
    fs::remove(dir / name);
    return std::find(listed.begin(), listed.end(), name) != listed.end() ? "" : "held under another name";
}

bool holds_fifos(const fs::path& dir)
{
    const fs::path probe = dir / ".fifo-probe";
    const bool made = mkfifo(probe.c_str(), 0600) == 0;
    fs::remove(probe);
    return made;
}

bool holds_links(const fs::path& dir)
{
    const fs::path file = dir / ".link-probe", link = dir / ".link-probe-2";
    write_file(file, "");
    std::error_code soft, hard;
    fs::create_symlink(file, link, soft);
    fs::remove(link);
    fs::create_hard_link(file, link, hard);
    fs::remove(link);
    fs::remove(file);
    return !soft && !hard;
}

bool holds_exchange(const fs::path& dir)
{
    const fs::path first = dir / ".exchange-probe", second = dir / ".exchange-probe-2";
    write_file(first, "");
    write_file(second, "");
    const bool exchanged = renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0;
    fs::remove(first);
    fs::remove(second);
    return exchanged;
}

bool holds_unnamed_files(const fs::path& dir)
{
    int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

bool holds_writers_to_size_limit(const fs::path& dir)
{
    const fs::path probe = dir / ".size-limit-probe";
    pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const std::string block(8192, 'p');
        _exit(fd >= 0 && write(fd, block.data(), block.size()) < static_cast<ssize_t>(block.size()) ? 0 : 1);
    }
    int status = 1;
    waitpid(pid, &status, 0);
    fs::remove(probe);
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

namespace {

// Opens a pseudo-terminal that passes output through unchanged. Returns the
// master and stores the slave's descriptor.
int open_terminal(int* slave)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    *slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios settings;
    if (*slave < 0 || tcgetattr(*slave, &settings) != 0)
        throw std::runtime_error("cannot open the terminal's slave");
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // no "\n" to "\r\n"
    tcsetattr(*slave, TCSANOW, &settings);
    return master;
}

void limit_resource(int resource, long long bytes, long long hard = -1)
{
    if (bytes < 0)
        return;
    rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(hard > bytes ? hard : bytes)};
    setrlimit(resource, &limit);
}

pid_t init_pid = 0;

extern "C" void pass_on(int signal_number)
{
    kill(init_pid, signal_number);
}

// Makes the process about to start the tool a new PID namespace's parent:
// the tool, started by its child, is PID 1 there. This process passes
// SIGTERM on to it and ends as it ended.
void become_init()
{
    if (unshare(CLONE_NEWPID) != 0)
        _exit(125);
    // SIGTERM is held until the handler knows whom to pass it on to: sent
    // once the tool is at work, it must never end this process instead.
    sigset_t term, previous;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &previous);
    std::signal(SIGTERM, pass_on);
    init_pid = fork();
    if (init_pid == 0)
        std::signal(SIGTERM, SIG_DFL);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (init_pid == 0)
        return;
    int status = 0;
    while (waitpid(init_pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        std::signal(WTERMSIG(status), SIG_DFL);
        std::raise(WTERMSIG(status));
    }
    _exit(WEXITSTATUS(status));
}

// Starts the tool in `dir` with its standard output on `out` (or as the
// options say) and standard error on `err`. Returns its process id.
pid_t spawn_tool(const fs::path& dir, const std::vector<std::string>& args, const run_options& options, int out,
                 int err)
{
    std::vector<std::string> strings{SND_EXTRACTOR_PATH};
    if (!std::string_view(SND_EXTRACTOR_LAUNCHER).empty())
        strings.insert(strings.begin(), SND_EXTRACTOR_LAUNCHER);
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    if (!options.empty_argv)
        for (std::string& s : strings)
            argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("cannot start the tool: fork failed");
    if (child > 0)
        return child;
    if (chdir(dir.c_str()) != 0)
        _exit(126);
    if (options.out == output_to::full_device)
        out = open("/dev/full", O_WRONLY);
    int reader_gone[2];
    if (options.out == output_to::closed_pipe && pipe(reader_gone) == 0) {
        close(reader_gone[0]);
        out = reader_gone[1];
    }
    if (options.stdin_fd >= 0)
        dup2(options.stdin_fd, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(options.merge_output ? STDOUT_FILENO : err, STDERR_FILENO);
    if (options.out == output_to::nowhere)
        close(STDOUT_FILENO);
    // No descriptor of the test's but the standard ones and any the options name.
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != options.inherited_fd)
            close(fd);
    int null = open("/dev/null", O_RDONLY);
    for (int fd = 120; fd < 120 + options.inherited_count; ++fd)
        dup2(null, fd);
    close(null);
    limit_resource(RLIMIT_FSIZE, options.file_size_limit);
    limit_resource(RLIMIT_AS, options.memory_limit);
    limit_resource(RLIMIT_NOFILE, options.open_files_limit, options.open_files_hard_limit);
    if (!options.faults.empty()) {
        setenv("LD_PRELOAD", SND_EXTRACTOR_FAULT_SHIM, 1);
        setenv("SND_EXTRACTOR_FAULTS", options.faults.c_str(), 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);  // the sanitizers' runtime comes second
    }
    if (options.as_init)
        become_init();
    if (testing_windows_build()) {
        // Windows has no SIGXFSZ to ignore: spare the launcher the signal.
        std::signal(SIGXFSZ, SIG_IGN);
        setenv("WINEDEBUG", "-all", 1);
        // Wine reads arguments and file names as UTF-8, and takes the ANSI
        // code page from the locale's country: 1252, or 932 for ja_JP.
        setenv("LC_ALL", options.locale.empty() ? "C.UTF-8" : options.locale.c_str(), 1);
    }
    // The stack limit also holds the arguments and environment copied onto
    // the stack, and the kernel starts the stack up to 8 KiB lower at random
    // (x86-64): without that chance, the frames get the limit less what
    // those take (and a page for the rest and its rounding).
    if (options.stack_limit >= 0) {
        long long copied = 4096;
        for (char** strings : {argv.data(), environ})
            for (char** at = strings; *at != nullptr; ++at)
                copied += static_cast<long long>(std::strlen(*at) + 1 + sizeof *at);
        personality(ADDR_NO_RANDOMIZE);
        limit_resource(RLIMIT_STACK, (options.stack_limit + copied + 4095) / 4096 * 4096);  // whole pages, as the sanitizers' runtime wants
    }
    if (!std::string_view(SND_EXTRACTOR_LAUNCHER).empty())
        execvp(argv[0], argv.data());
    else
        execve(SND_EXTRACTOR_PATH, argv.data(), environ);
    _exit(127);
}

// Writes `bytes` into the pipe `fd`, then closes it, once they are all
// written or no one reads any more (SIGPIPE is ignored from then on);
// `endless`: their last 64 KiB again and again after them. Returns how many
// it wrote, once it has run `ended` (if any).
std::size_t feed_pipe(int fd, std::string bytes, bool endless = false, const std::function<void()>& ended = {})
{
    std::signal(SIGPIPE, SIG_IGN);  // the reader may stop reading
    std::size_t fed = 0;
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t count = write(fd, bytes.data() + at, bytes.size() - at);
        if (count <= 0)
            break;
        at += static_cast<std::size_t>(count);
        fed += static_cast<std::size_t>(count);
        if (endless && at == bytes.size())
            at -= std::min<std::size_t>(at, 64 << 10);
    }
    close(fd);
    if (ended)
        ended();
    return fed;
}

// What feeds the standard input of each started tool, by process id.
std::map<int, std::future<std::size_t>> inputs;

// Starts the tool with its standard output and error on `out` and `err`,
// and a feeder on its standard input where the options give bytes for it.
int start_fed(const fs::path& dir, const std::vector<std::string>& args, const run_options& options, int out, int err)
{
    int feed[2] = {-1, -1};
    run_options spawned = options;
    if (!options.stdin_bytes.empty()) {
        if (pipe2(feed, O_CLOEXEC) != 0)
            throw std::runtime_error("no pipe for the tool's input");
        spawned.stdin_fd = feed[0];
    }
    pid_t pid = spawn_tool(dir, args, spawned, out, err);
    if (feed[0] >= 0) {
        close(feed[0]);
        inputs[pid] = std::async(std::launch::async, feed_pipe, feed[1], options.stdin_bytes, options.stdin_endless,
                                 options.stdin_ended);
    }
    return pid;
}

}  // namespace

std::future<std::size_t> feed_fifos(std::vector<fifo> fifos)
{
    return std::async(std::launch::async, [fifos = std::move(fifos)] {
        std::size_t fed = 0;
        for (const fifo& f : fifos) {
            int fd = open(f.path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0)
                break;
            if (f.opened)
                f.opened();
            fed += feed_pipe(fd, f.bytes);
        }
        return fed;
    });
}

bool poll_until(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        usleep(200);
    }
    return true;
}

std::string lines(const std::string& text)
{
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' && testing_windows_build() ? std::string("\r\n") : std::string(1, c);
    return crlf;
}

bool wait_until_copying(int pid, const fs::path& dir)
{
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    bool ended = false;
    return poll_until([&] {
               std::error_code error;
               // A temporary name (the Windows build, or no unnamed files
               // here), perhaps in the run's hidden folder.
               for (const auto& entry : fs::recursive_directory_iterator(dir, error))
                   if (entry.path().filename().string().starts_with(temporary_prefix) && entry.is_regular_file(error) &&
                       entry.file_size(error) > 0)
                       return true;
               // An unnamed file, seen through the tool's descriptors.
               for (const auto& entry : fs::directory_iterator(fds, error)) {
                   std::string target = fs::read_symlink(entry.path(), error).string();
                   if (target.starts_with(dir.string() + "/") && target.ends_with(" (deleted)") &&
                       fs::file_size(entry.path(), error) > 0 && !error)
                       return true;
               }
               siginfo_t status{};
               ended = waitid(P_PID, static_cast<id_t>(pid), &status, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                       status.si_pid == pid;
               return ended;
           }) &&
           !ended;
}

run_result wait_tool(int pid)
{
    run_result result;
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        result.term_signal = WTERMSIG(status);
    if (inputs.contains(pid))
        result.stdin_fed = inputs.extract(pid).mapped().get();
    return result;
}

int start_tool(const fs::path& dir, const std::vector<std::string>& args, const run_options& options)
{
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = start_fed(dir, args, options, options.stdout_fd >= 0 ? options.stdout_fd : null, null);
    close(null);
    return pid;
}

run_result run_tool(const fs::path& dir, const std::vector<std::string>& args, const run_options& options)
{
    file_ptr out_file(std::tmpfile());
    file_ptr err_file(std::tmpfile());
    if (!out_file || !err_file)
        throw std::runtime_error("no temporary file for the tool's output");
    int master = -1;
    int slave = fileno(out_file.get());
    run_options started = options;
    if (options.out == output_to::terminal)
        master = open_terminal(&slave);
    if (master >= 0 && options.input_from_terminal)
        started.stdin_fd = slave;
    if (master >= 0 && options.terminal_columns > 0) {
        winsize size{};
        size.ws_col = static_cast<unsigned short>(options.terminal_columns);
        size.ws_row = 24;
        ioctl(slave, TIOCSWINSZ, &size);
    }
    pid_t child = start_fed(dir, args, started, slave, fileno(err_file.get()));
    // The watchdog: a tool still running at the limit is ended by its pid.
    std::promise<void> ended;
    std::atomic<bool> killed{false};
    std::thread watchdog;
    if (options.seconds_limit > 0)
        watchdog = std::thread([&, future = ended.get_future()] {
            if (future.wait_for(std::chrono::seconds(options.seconds_limit)) == std::future_status::timeout) {
                killed = true;
                kill(child, SIGKILL);
            }
        });

    std::string terminal_text;
    if (master >= 0) {
        close(slave);
        char buffer[4096];
        ssize_t count;
        while ((count = read(master, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR))
            if (count > 0)
                terminal_text.append(buffer, static_cast<std::size_t>(count));
        close(master);
    }
    run_result result = wait_tool(child);
    ended.set_value();
    if (watchdog.joinable())
        watchdog.join();
    result.ended_by_limit = killed;
    result.out = master >= 0 ? terminal_text : read_file("/proc/self/fd/" + std::to_string(fileno(out_file.get())));
    result.err = read_file("/proc/self/fd/" + std::to_string(fileno(err_file.get())));
    return result;
}

std::string why::system(int error, const std::string& windows)
{
    return testing_windows_build() ? windows : std::strerror(error);
}
