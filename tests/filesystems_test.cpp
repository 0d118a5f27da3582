// The tool on real file systems: each row runs in a scratch folder on every
// mount that filesystems.sh made (SND_EXTRACTOR_FILESYSTEMS: NAME=PATH ...),
// ext4, xfs, btrfs, overlayfs and tmpfs, which keep cases apart, ntfs-3g,
// which does too, and exfat-fuse and fusefat, which fold case and give each
// spelling of a file its own inode number.
#include <gtest/gtest.h>

#include <cstring>

#include <csignal>
#include <cstdlib>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "archive_builder.h"
#include "test_support.h"

namespace {

using builder::pack;
using names = std::vector<std::string>;

std::vector<std::pair<std::string, fs::path>> mounts()
{
    std::vector<std::pair<std::string, fs::path>> found;
    std::istringstream list(std::getenv("SND_EXTRACTOR_FILESYSTEMS") ? std::getenv("SND_EXTRACTOR_FILESYSTEMS") : "");
    for (std::string item; list >> item;)
        found.emplace_back(item.substr(0, item.find('=')), item.substr(item.find('=') + 1));
    return found;
}

class OnFileSystem : public testing::TestWithParam<std::pair<std::string, fs::path>> {
protected:
    void SetUp() override
    {
        dir = GetParam().second / ("w" + std::to_string(++rows));
        fs::create_directory(dir);
    }
    void TearDown() override
    {
        // The driver is alive after every row (exfat-fuse died on an unlink).
        EXPECT_NO_THROW(fs::remove_all(dir)) << "the file system no longer answers";
    }
    bool folds() const { return name() == "exfat-fuse" || name() == "fusefat"; }
    const std::string& name() const { return GetParam().first; }
    void put(const std::string& file, const std::string& bytes) { write_file(dir / file, bytes); }
    std::string get(const std::string& file) { return read_file(dir / file); }
    void expect_run(const std::vector<std::string>& args, const printed& lines, const run_options& options = {})
    {
        run_result result = run_tool(dir, args, options);
        EXPECT_EQ(result.out, lines.out);
        EXPECT_EQ(result.err, lines.err);
        EXPECT_EQ(result.exit_code, 0);
    }

    static inline int rows = 0;
    fs::path dir;
};

// Another case of an archive's name is kept where the folder folds case,
// whether the archive is held open, past the descriptor budget or named by
// another path; elsewhere both cases are sounds of their own. A taken name
// shaped like a short alias is kept on every file system.
TEST_P(OnFileSystem, OtherCasesOfAnArchivesNameAreKeptWhereTheFolderFolds)
{
    const std::string archive = pack({{"snd/PACK.ZQA", "1"}, {"snd/pack.zqa", "2"}, {"snd/after.wav", "3"}});
    const printed lines = printed().sound("snd/PACK.ZQA", !folds(), why::archive).sound("snd/pack.zqa", !folds(), why::archive)
                              .done("snd/after.wav");
    const fs::path top = dir;
    for (int way = 0; way < 3; ++way) {  // held, past the budget, by another path
        SCOPED_TRACE(way);
        dir = top / std::to_string(way);  // a folder each (fusefat garbles a file written over)
        fs::create_directory(dir);
        std::vector<std::string> args;
        printed out;
        for (int at = 0; way == 1 && at < 39; ++at) {  // 40 archives under 16 descriptors
            args.push_back("e" + std::to_string(at) + ".zqa");
            put(args.back(), pack({}));
            out.count(0, args.back());
        }
        args.push_back(way == 2 ? "../" + std::to_string(way) + "/Pack.zqa" : "Pack.zqa");
        put("Pack.zqa", archive);
        expect_run(args, out.count(3, args.back()) += lines, {.open_files_limit = way == 1 ? 16 : -1});
        EXPECT_EQ(get("Pack.zqa"), archive);
        EXPECT_EQ(get("after.wav"), "3");
        if (!folds()) {
            EXPECT_EQ(get("PACK.ZQA") + get("pack.zqa"), "12");
        }
    }
    put("MYSOUN~1.ZQA", "old");
    put("My Sounds Pack.zqa", pack({{"MYSOUN~1.ZQA", "new"}}));
    expect_run({"My Sounds Pack.zqa"}, printed().count(1, "My Sounds Pack.zqa").failed("MYSOUN~1.ZQA", why::archive));
    EXPECT_EQ(get("MYSOUN~1.ZQA"), "old");
    dir = top;
}

// A piped archive extracts exactly, fresh and over its own earlier files.
TEST_P(OnFileSystem, PipedArchivesExtractExactly)
{
    const std::string a(70000, 'a'), b(70000, 'b'), c(70000, 'c');
    for (int pass = 0; pass < 2; ++pass) {
        expect_run({"/dev/stdin"},
                   printed().count(3, "/dev/stdin").done("a.wav").done("b.wav").done("c.wav"),
                   {.stdin_bytes = pack({{"a.wav", a}, {"b.wav", b}, {"c.wav", c}})});
        EXPECT_TRUE(get("a.wav") == a && get("b.wav") == b && get("c.wav") == c);
        EXPECT_EQ(list_dir(dir), (names{"a.wav", "b.wav", "c.wav"}));
    }
}

// A sound that finds no room fails, and the file it was to replace stays
// whole; a sound killed mid-copy leaves the old file at its name.
TEST_P(OnFileSystem, NoRoomAndAKillLeaveTheOldFileWhole)
{
    scratch_dir outside;  // the archives lie on another file system
    const std::string old_bytes = "old";
    const std::string big(16 << 20, 'n');
    write_file(outside / "big.zqa", pack({{"big.wav", big}}));
    put("big.wav", old_bytes);
    {
        // Fill the file system (at most 1 GiB).
        std::FILE* filler = std::fopen((dir / "filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        std::string block(1 << 20, 'f');
        for (int at = 0; at < 1024 && std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
                         std::fflush(filler) == 0;
             ++at) {
        }
        std::fclose(filler);
    }
    // The file system's own words for a full disk (fusefat: EPERM).
    std::string full = why::system(ENOSPC);
    if (int probe = open((dir / "probe").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); probe < 0) {
        full = std::strerror(errno);
    } else {
        std::string block(64 << 10, 'p');
        while (write(probe, block.data(), block.size()) > 0) {
        }
        full = std::strerror(errno);
        close(probe);
        fs::remove(dir / "probe");
    }
    expect_run({(outside / "big.zqa").string()},
               printed().count(1, (outside / "big.zqa").string()).failed("big.wav", full));
    EXPECT_EQ(get("big.wav"), old_bytes);
    fs::remove(dir / "filler");

    // Killed while the sound comes through a pipe, half of it in.
    int feed[2];
    ASSERT_EQ(pipe(feed), 0);
    const std::string piped = pack({{"big.wav", big}});
    int pid = start_tool(dir, {"/dev/stdin"}, {.stdin_fd = feed[0]});
    close(feed[0]);
    ASSERT_EQ(write(feed[1], piped.data(), piped.size() / 2), static_cast<ssize_t>(piped.size() / 2));
    const bool copying = wait_until_copying(pid, dir);
    kill(pid, SIGKILL);
    close(feed[1]);
    run_result result = wait_tool(pid);
    EXPECT_TRUE(copying);
    EXPECT_EQ(result.term_signal, SIGKILL);
    EXPECT_EQ(get("big.wav"), old_bytes);
    for (const std::string& left : list_dir(dir))  // a hidden temporary file may stay
        EXPECT_TRUE(left == "big.wav" || left.starts_with(".snd_extractor-")) << left;
}

// A fresh extraction of 100 sounds makes no system call that fails more
// than 5 times: each way the file system refuses is asked once.
TEST_P(OnFileSystem, NoCallFailsOnceASound)
{
    if (std::system("command -v strace >/dev/null") != 0)
        GTEST_SKIP() << "strace is not installed";
    std::vector<builder::sound> sounds;
    for (int at = 0; at < 100; ++at)
        sounds.push_back({"s/snd" + std::to_string(at) + ".wav", std::string(4096, 'a' + at % 26)});
    put("h.zqa", pack(sounds));
    const fs::path log = dir / "strace.log";
    const std::string command = "cd '" + dir.string() + "' && strace -f -qq -o '" + log.string() + "' '" +
                                SND_EXTRACTOR_PATH + "' h.zqa >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::map<std::string, int> failures;
    std::istringstream lines(read_file(log));
    for (std::string line; std::getline(lines, line);) {
        const auto call = line.find_first_not_of("0123456789 ");
        if (line.find(" = -1 E") != std::string::npos && call != std::string::npos)
            ++failures[line.substr(call, line.find('(') - call)];
    }
    for (const auto& [call, count] : failures)
        EXPECT_LE(count, 5) << call;
    EXPECT_EQ(list_dir(dir).size(), 102u);
}

INSTANTIATE_TEST_SUITE_P(Mounts, OnFileSystem, testing::ValuesIn(mounts()),
                         [](const auto& info) {
                             std::string name = info.param.first;
                             std::erase(name, '-');
                             return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(OnFileSystem);

}  // namespace
