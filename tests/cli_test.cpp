// End to end: the built tool run in a fresh directory on archives written
// byte by byte, checking exact output, exit status and the files left.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <regex>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <locale.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive_builder.h"
#include "output_file.h"  // temporary_prefix
#include "sound_archive.h"  // progress_threshold
#include "test_support.h"

namespace {

using builder::index_end;
using builder::pack;
using names = std::vector<std::string>;

// Whether the fault shim, preloaded, reaches the tool's calls: not those of
// the Windows executable, nor of a Linux executable of another machine,
// whose calls qemu-user makes itself (it would load into qemu instead).
bool shim_reaches_tool()
{
    return !testing_windows_build() && !testing_under_emulator();
}

// Leaves out the rows that need the fault shim where it cannot reach the
// tool; `options_of` finds a row's run options.
template <typename Row, typename Options>
void leave_out_fault_rows(std::vector<Row>& rows, Options options_of)
{
    if (!shim_reaches_tool())
        std::erase_if(rows, [&](const Row& row) { return !options_of(row).faults.empty(); });
}

class Cli : public testing::Test {
protected:
    void SetUp() override
    {
        if (!launcher_installed())
            GTEST_SKIP() << SND_EXTRACTOR_LAUNCHER << " is not installed";
    }
    void put(const std::string& name, const std::string& bytes) { write_file(dir / name, bytes); }
    std::string get(const std::string& name) { return read_file(dir / name); }
    run_result run(const std::vector<std::string>& args, const run_options& options = {})
    {
        return run_tool(dir.path(), args, options);
    }
    // Runs the tool and checks that it exited normally with status 0 and
    // printed exactly the lines `out` and `err` (with CR LF on Windows).
    void expect_run(const std::vector<std::string>& args, const std::string& out, const std::string& err = "",
                    const run_options& options = {})
    {
        expect_exactly(args, lines(out), lines(err), options);
    }
    void expect_run(const std::vector<std::string>& args, const printed& lines, const run_options& options = {})
    {
        if (options.merge_output)
            expect_exactly(args, lines.both, "", options);
        else
            expect_exactly(args, lines.out, lines.err, options);
    }
    void expect_exactly(const std::vector<std::string>& args, const std::string& out, const std::string& err,
                        const run_options& options)
    {
        run_result result = run(args, options);
        EXPECT_EQ(result.out, out);
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(result.term_signal, 0);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(result.stdin_fed, options.stdin_bytes.size()) << "a piped archive is read to its end";
    }

    scratch_dir dir;
};

// ---- The command line ---------------------------------------------------

TEST_F(Cli, WithoutArchivesPrintsUsageAndExits255)
{
    run_result result = run({});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.exit_code, 255);
    if (testing_windows_build()) {  // the program's name is as Windows spells it
        EXPECT_TRUE(result.err.starts_with("Usage:") && result.err.ends_with("snd_extractor.exe zqa1 zqa2 zq3...\r\n"))
            << result.err;
        return;
    }
    EXPECT_EQ(result.err, std::string("Usage:") + SND_EXTRACTOR_PATH + " zqa1 zqa2 zq3...\n");
    if (testing_under_emulator())
        GTEST_SKIP() << "qemu-user cannot start a program with no argument vector at all";

    result = run({}, {.empty_argv = true});
    EXPECT_EQ(result.err, "Usage:snd_extractor zqa1 zqa2 zq3...\n");
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(list_dir(dir.path()), names{});
}

TEST_F(Cli, ProcessesEveryArchiveInOrderPastMissingOnes)
{
    put("a.zqa", pack({{"a.wav", "aaa"}}));
    put("-b.zqa", pack({{"b.wav", "bb"}}));
    std::vector<std::string> args{"a.zqa", "missing.zqa", "-b.zqa", "a.zqa"};
    printed out = printed().count(1, "a.zqa").done("a.wav").error("failed to open missing.zqa.");
    out.count(1, "-b.zqa").done("b.wav").count(1, "a.zqa").done("a.wav");
    const std::string unicode = "\xe9\x9f\xb3\xe5\xa3\xb0.zqa";  // any Unicode path opens, on Windows too
    if (holds_name(dir.path(), unicode)) {  // (fusefat takes no name beyond ASCII)
        put(unicode, pack({{"u.wav", "u"}}));
        args.push_back(unicode);
        out.count(1, unicode).done("u.wav");
    }
    expect_run(args, out);
    EXPECT_EQ(get("a.wav") + "," + get("b.wav"), "aaa,bb");

    // Both streams into one file: the messages keep the order of events.
    expect_run({"a.zqa", "missing.zqa", "-b.zqa"},
               printed().count(1, "a.zqa").done("a.wav").error("failed to open missing.zqa.").count(1, "-b.zqa").done("b.wav"),
               {.merge_output = true});
}

TEST_F(Cli, ManyArchivesFewDescriptorsAndFifosFedInTurn)
{
    // Each archive holds one entry of its own. The archives held open leave
    // descriptors for the outputs; FIFOs are opened only at their turn, so
    // one writer can feed them one after the other, each more than a pipe
    // holds.
    struct row {
        const char* what;
        int archives;
        long long descriptors;  // RLIMIT_NOFILE, or -1
        bool piped_first;       // the first archive comes through standard input
        bool fifos;             // every archive is a FIFO
        int inherited = 0;      // descriptors open from 120 on, inherited from the caller
    };
    std::vector<row> rows{{"two FIFOs", 2, -1, false, true}};
    if (testing_windows_build())  // past the C runtime's 2,048 descriptors
        rows.push_back({"2,100 through *.zqa", 2100, -1, false, false});
    else
        rows.insert(rows.end(), {{"14 under 16 descriptors", 14, 16, false, false},
                                 {"14 under 16, the first piped", 14, 16, true, false},
                                 {"70 under 64", 70, 64, false, false},
                                 // (100 where FAT's folders, slow lists, hold them)
                                 {"500 under 1,024, 900 inherited, the first piped", holds_links(dir.path()) ? 500 : 100,
                                  1024, true, false, 900}});
    auto name_of = [](int i) { return "a" + std::to_string(10000 + i).substr(1); };  // a0000...
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        scratch_dir cwd;
        if (r.fifos && !holds_fifos(cwd.path()))
            continue;  // (FAT, exFAT)
        std::vector<std::string> args, archives;
        printed out;
        std::vector<fifo> fifos;
        for (int i = 0; i < r.archives; ++i) {
            const std::string name = name_of(i);
            const std::string data(r.fifos ? 100000 : 10, static_cast<char>('a' + i % 26));
            archives.push_back(pack({{"d/" + name + ".wav", data}}));
            args.push_back(r.piped_first && i == 0 ? "/dev/stdin" : name + ".zqa");
            if (r.fifos) {
                fifos.push_back({cwd / args.back(), archives.back()});
                ASSERT_EQ(mkfifo((cwd / args.back()).c_str(), 0600), 0);
            } else if (i > 0 || !r.piped_first)
                write_file(cwd / args.back(), archives.back());
            out.count(1, args.back()).done("d/" + name + ".wav");
        }
        auto writer = feed_fifos(fifos);
        run_result result = run_tool(cwd.path(), r.archives > 1000 ? std::vector<std::string>{"*.zqa"} : args,
                                     {.stdin_bytes = r.piped_first ? archives[0] : "",
                                      .open_files_limit = r.descriptors, .inherited_count = r.inherited});
        EXPECT_EQ(result.out, out.out);
        EXPECT_EQ(result.err, "");
        for (int i = 0; i < r.archives; ++i)
            EXPECT_EQ(read_file(cwd / (name_of(i) + ".wav")), archives[static_cast<std::size_t>(i)].substr(index_end(1)));
    }
}

TEST_F(Cli, WildcardsAreExpandedOnlyWhereTheShellLeavesThemToUs)
{
    put("sounds.zqa", pack({{"s.wav", "s"}}));
    put("other.zqa", builder::header(0));
    // Their 8.3 aliases (SOUNDS~1.ZQA) would match on Windows: long names only.
    put("sounds.zqa1", pack({{"alias.wav", "1"}}));
    put("sounds.zqa~", pack({{"backup.wav", "~"}}));
    put(".snd_extractor-1.zqa", pack({{"dot.wav", "."}}));  // dot files match only a pattern that starts with '.'
    // Case folds for every letter; a match opens as the listing spells it,
    // a trailing space or a device name included; brackets are characters.
    const std::string e_acute = "\xc3\xa9" "1.zqa", house = "\xd0\xb4\xd0\xbe\xd0\xbc.zqa";
    if (!holds_name(dir.path(), e_acute))
        GTEST_SKIP() << "the file system takes no name beyond ASCII (fusefat)";
    put(e_acute, pack({{"e.wav", "e"}}));
    put(house, pack({{"d.wav", "d"}}));
    put("c.zqa ", pack({{"c.wav", "c"}}));
    put("com1.zqa", pack({{"k.wav", "k"}}));
    put("[ab].zqa", pack({{"b.wav", "b"}}));
    const std::vector<std::string> patterns{"*s*.zqa", "\xc3\x89*.zqa", "\xd0\x94\xd0\x9e\xd0\x9c.*", "c*", "[ab].zqa"};
    const printed brackets = printed().count(1, "[ab].zqa").done("b.wav");
    if (testing_windows_build())
        expect_run(patterns, printed().count(1, "sounds.zqa").done("s.wav").count(1, e_acute).done("e.wav")
                                 .count(1, house).done("d.wav").count(1, "c.zqa ").done("c.wav")
                                 .count(1, "com1.zqa").done("k.wav") += brackets);
    else
        expect_run(patterns, printed().error("failed to open *s*.zqa.").error("failed to open " + patterns[1] + ".")
                                 .error("failed to open " + patterns[2] + ".").error("failed to open c*.") += brackets);
}

// ---- Archives and their entries -------------------------------------------

TEST_F(Cli, ExtractsEachEntryUnderItsLastComponent)
{
    std::string binary;
    for (int i = 0; i < 256; ++i)
        binary.push_back(static_cast<char>(i));
    // UTF-8 names are the same Unicode names on Windows.
    const std::string accented = "m\xc3\xbasica/canci\xc3\xb3n.wav", japanese = "\xe5\x8a\xb9/\xe7\x88\x86.wav";
    put("s.zqa", pack({{"sfx/ui/click.wav", binary}, {"music/theme.wav", "theme"}, {"empty.wav", ""},
                       {accented, "a"}, {japanese, "j"}}));
    // (fusefat takes no name beyond ASCII: those fail there.)
    const bool unicode = holds_name(dir.path(), "canci\xc3\xb3n.wav");
    const std::string refused = name_refusal(dir.path(), "canci\xc3\xb3n.wav");  // fusefat's answer
    // A 64 KiB stack is enough (Wine and qemu-user themselves need more).
    expect_run({"s.zqa"},
               printed().count(5, "s.zqa").done("sfx/ui/click.wav").done("music/theme.wav").done("empty.wav")
                   .sound(accented, unicode, refused).sound(japanese, unicode, refused),
               {.stack_limit = testing_windows_build() || testing_under_emulator() ? -1 : 64 << 10});
    EXPECT_EQ(list_dir(dir.path()), (unicode ? names{"canci\xc3\xb3n.wav", "click.wav", "empty.wav", "s.zqa",
                                                     "theme.wav", "\xe7\x88\x86.wav"}
                                             : names{"click.wav", "empty.wav", "s.zqa", "theme.wav"}));
    EXPECT_EQ(get("click.wav"), binary);
    EXPECT_EQ(get("theme.wav") + "," + get("empty.wav"), "theme,");
}

TEST_F(Cli, CountsOfZeroOneAndBelowZero)
{
    put("zero.zqa", builder::header(0));
    put("one.zqa", pack({{"x.wav", "x"}}));
    put("neg.zqa", builder::header(0x80000000u) + std::string(600, 'z'));
    put("junk.zqa", std::string(16, '\xFF') + std::string("\0\0\0\0", 4));
    expect_run({"zero.zqa", "one.zqa", "neg.zqa", "junk.zqa"},
               printed().count(0, "zero.zqa").count(1, "one.zqa").done("x.wav").count(-2147483648, "neg.zqa")
                   .count(0, "junk.zqa"));
    EXPECT_EQ(list_dir(dir.path()), (names{"junk.zqa", "neg.zqa", "one.zqa", "x.wav", "zero.zqa"}));
}

TEST_F(Cli, NameFieldsEndAtTheFirstNulOrAfter256Bytes)
{
    std::string full(256, 'n');                              // no NUL, no '/': too long a file name
    std::string full_with_dir = "d/" + std::string(254, 'm');  // no NUL: a 254-byte file name
    std::string longest(255, 'l');                             // the longest file name there is
    std::string junk_after_nul = std::string("real.wav\0junk/junk", 18);
    put("n.zqa", builder::archive(4,
                                  {{index_end(4), 1, full}, {index_end(4), 2, full_with_dir},
                                   {index_end(4), 1, longest}, {index_end(4), 3, junk_after_nul}},
                                  "XYZ"));
    expect_run({"n.zqa"},
               printed().count(4, "n.zqa").failed(full, why::no_name).done(full_with_dir).done(longest).done("real.wav"));
    EXPECT_EQ(get(std::string(254, 'm')), "XY");
    EXPECT_EQ(get(longest), "X");
    EXPECT_EQ(get("real.wav"), "XYZ");
}

TEST_F(Cli, DataIsFoundByItsPositionAlone)
{
    // Out of index order, overlapping each other, inside the header and the
    // index; past what the archive's stream has buffered.
    std::string data = std::string(9000, '-') + "0123456789";
    const std::uint32_t at = index_end(4) + 9000;
    put("o.zqa", builder::archive(4,
                                  {{at + 5, 5, "late.wav"}, {at, 7, "early.wav"},
                                   {0, 16, "signature.wav"}, {20, 264, "index.wav"}},
                                  data));
    const std::string archive = get("o.zqa");
    const printed entries = printed().done("late.wav").done("early.wav").done("signature.wav").done("index.wav");
    // From the file; from a pipe and from a FIFO, which cannot be read by
    // position and are first copied into an unnamed file that goes.
    std::vector<std::pair<std::string, run_options>> sources{{"o.zqa", {}}};
    const bool fifos = holds_fifos(dir.path());  // (not on FAT, exFAT)
    if (fifos) {
        sources.push_back({"fifo.zqa", {}});
        ASSERT_EQ(mkfifo((dir / "fifo.zqa").c_str(), 0600), 0);
    }
    if (!testing_windows_build())  // Windows has no path for standard input
        sources.push_back({"/dev/stdin", {.stdin_bytes = archive}});
    for (const auto& [path, options] : sources) {
        SCOPED_TRACE(path);
        auto writer = feed_fifos(path == "fifo.zqa" ? std::vector<fifo>{{dir / "fifo.zqa", archive}} : std::vector<fifo>{});
        expect_run({path}, printed().count(4, path) += entries, options);
        EXPECT_EQ(get("late.wav") + "," + get("early.wav"), "56789,0123456");
        EXPECT_EQ(get("signature.wav"), archive.substr(0, 16));
        EXPECT_EQ(get("index.wav"), archive.substr(20, 264));
        names files{"early.wav", "index.wav", "late.wav", "o.zqa", "signature.wav"};
        if (fifos)
            files.insert(files.begin() + 1, "fifo.zqa");
        EXPECT_EQ(list_dir(dir.path()), files) << "nothing else is left";
        for (const char* name : {"early.wav", "index.wav", "late.wav", "signature.wav"})
            fs::remove(dir / name);
    }
}

TEST_F(Cli, SameOutputNameTwiceKeepsTheLaterEntry)
{
    put("first.wav", "existed before the run");
    put("d.zqa", pack({{"one/first.wav", "one"}, {"two/first.wav", "second"}}));
    // A 16 KiB stack is enough for a replacement in an optimised build (Wine,
    // qemu-user and the sanitizers' runtime themselves need more, and so do
    // the frames of an unoptimised build, as for coverage).
    const bool small_stack = TOOL_OPTIMIZED && !TOOL_SANITIZED && !testing_windows_build() && !testing_under_emulator();
    const long long stack = small_stack ? 16 << 10 : -1;
    // (The other roads, moved aside and claimed, run on such a stack on the
    // FUSE mounts of tests/filesystems.sh: the shim's own loading needs more.)
    expect_run({"d.zqa"}, printed().count(2, "d.zqa").done("one/first.wav").done("two/first.wav"), {.stack_limit = stack});
    EXPECT_EQ(get("first.wav"), "second");
    EXPECT_EQ(list_dir(dir.path()), (names{"d.zqa", "first.wav"})) << "no temporary file is left";
}

// ---- Names that cannot be written -----------------------------------------

TEST_F(Cli, UnusableNamesFailAndTheWalkGoesOn)
{
    fs::create_directory(dir / "taken.wav");
    // Windows keeps a read-only file; Linux replaces it, as rm -f would.
    put("readonly.wav", "kept");
    std::error_code no_modes;  // (fusefat has none; the file stays writable there)
    fs::permissions(dir / "readonly.wav", fs::perms::owner_read, no_modes);
    const bool windows = testing_windows_build();
    put("u.zqa", pack({{"dir/", "a"}, {"", "b"}, {"x/.", "c"}, {"..", "d"}, {"taken.wav", "e"}, {"readonly.wav", "r"},
                       {"ok.wav", "f"}}));
    // Windows takes no "." or "..", nor a read-only file's place.
    const std::string dots = windows ? why::no_name : why::folder;
    expect_run({"u.zqa"}, printed().count(7, "u.zqa").failed("dir/", why::no_name).failed("", why::no_name)
                              .failed("x/.", dots).failed("..", dots).failed("taken.wav", why::folder)
                              .sound("readonly.wav", !windows, why::system(EACCES, "Access denied")).done("ok.wav"));
    EXPECT_EQ(list_dir(dir.path()), (names{"ok.wav", "readonly.wav", "taken.wav", "u.zqa"}));
    EXPECT_TRUE(fs::is_empty(dir / "taken.wav"));
    EXPECT_EQ(get("ok.wav"), "f");
    EXPECT_EQ(get("readonly.wav"), windows ? "kept" : "r");
}

TEST_F(Cli, NamesThatAreNotPlainFilesOnWindows)
{
    // On Windows '\\' separates too, and these names would reach a device, a
    // stream or another name; elsewhere they are ordinary file names.
    const std::vector<std::string> refused = {
        "c:evil.wav", "x.wav:stream", "CON", "con.wav", "Lpt1.txt", "COM9", "aux.tar.gz", "conout$.wav", "dot.",
        "space ", "nul .wav", "NUL  .txt", "COM\xC2\xB9.wav", "lpt\xC2\xB3", "del\x7f.wav"};
    const std::vector<std::string> taken = {"CONSOLE.wav", "com10.wav", "nul_not.wav", "COM\xC2\xB9\xC2\xB9.wav"};
    const bool windows = testing_windows_build();
    // Elsewhere a name fails only where the file system takes no such name
    // (':', DEL or a byte that is not UTF-8 on FAT, exFAT or NTFS), in its
    // own words.
    auto refusal = [&](const std::string& name) { return windows ? why::no_name : name_refusal(dir.path(), name); };
    auto held = [&](const std::string& name) { return windows || refusal(name).empty(); };
    printed out;
    auto verdict = [&](const std::string& stored, const std::string& name) {
        out.sound(stored, !windows && held(name), refusal(name));
    };
    // A name that is not UTF-8 is read in the ANSI code page there (1252 here).
    std::vector<builder::sound> sounds{{"dir\\win.wav", "w"}, {"sfx/aux .wav", "r"}, {"caf\xe9.wav", "l"}};
    out.sound("dir\\win.wav", held("dir\\win.wav"), refusal("dir\\win.wav"));
    verdict("sfx/aux .wav", "aux .wav");
    out.sound("caf\xe9.wav", held("caf\xe9.wav"), refusal("caf\xe9.wav"));
    names files{"w.zqa"};
    for (const char* name : {"dir\\win.wav", "caf\xe9.wav"})
        if (held(name))
            files.push_back(windows ? std::string(name == std::string("caf\xe9.wav") ? "caf\xc3\xa9.wav" : "win.wav") : name);
    for (const char* name : {"aux .wav", "line\nfeed.wav"})
        if (!windows && held(name))
            files.push_back(name);
    for (const std::string& name : refused) {
        sounds.push_back({name, "r"});
        verdict(name, name);
        if (!windows && held(name))
            files.push_back(name);
    }
    for (const std::string& name : taken) {
        sounds.push_back({name, "t"});
        out.sound(name, held(name), refusal(name));
        if (held(name))
            files.push_back(name);
    }
    // A line feed in a stored path is printed as the byte it is, though lines
    // end in CR LF on Windows.
    sounds.push_back({"line\nfeed.wav", "f"});
    verdict("line\nfeed.wav", "line\nfeed.wav");
    put("w.zqa", pack(sounds));
    expect_run({"w.zqa"}, printed().count(static_cast<long long>(sounds.size()), "w.zqa") += out);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(list_dir(dir.path()), files);
}

TEST_F(Cli, DoubleByteNamesNeverReachIntoAFolder)
{
    // In the double-byte code pages (Shift-JIS, GBK, UHC, Big5) the second
    // byte of a character may be 0x5C, a backslash only where it stands
    // alone. A stored path that is not UTF-8 is read whole in the code page,
    // so that a UTF-8 tail after a double-byte word holds no separator of
    // its own: no entry writes into the folder あ/あ/, whose files keep
    // their bytes. (Wine reads a lead byte and the '/' or '\' after it as
    // one character: U+30FB in 932, '?' in the others, which no file name
    // holds, so that entry fails.) Windows names files in Unicode, which Wine
    // writes here in UTF-8; elsewhere a stored path is bytes, split at '/'.
    const std::string a = "\xe3\x81\x82", folder = a + "/" + a + "/";
    const std::string source = "\x83\x5c\x81\x5b\x83\x58.wav", schedule = "\x97\x5c\x92\xe8\x95\x5c.wav";
    struct row {
        const char* locale;  // Wine's ANSI code page: 932, 936, 949, 950
        std::string stored, windows_name, linux_name;  // no Windows name: the entry fails
    };
    const row rows[] = {
        {"ja_JP", "\x95\x5c\x8e\xa6.wav", "\xe8\xa1\xa8\xe7\xa4\xba.wav", "\x95\x5c\x8e\xa6.wav"},
        {"ja_JP", "sfx\\" + source, "\xe3\x82\xbd\xe3\x83\xbc\xe3\x82\xb9.wav", "sfx\\" + source},
        {"ja_JP", "sfx/" + schedule, "\xe4\xba\x88\xe5\xae\x9a\xe8\xa1\xa8.wav", schedule},
        {"ja_JP", "\x89\xb9/\xc3\xbd.wav", "\xef\xbe\x83\xef\xbd\xbd.wav", "\xc3\xbd.wav"},
        {"ja_JP", "\xff\\" + a + "\\evil2.wav", "\xe7\xb8\xba\xe3\x83\xbb" "evil2.wav", "\xff\\" + a + "\\evil2.wav"},
        {"ja_JP", "\x8c\xf8\x89\xca\x89\xb9/" + folder + "v932.wav",
         "\xe7\xb8\xba\xe3\x83\xbb\xe7\xb8\xba\xe3\x83\xbbv932.wav", "v932.wav"},
        {"zh_CN", "\xd0\xa7\xb9\xfb/" + folder + "v936.wav", "", "v936.wav"},
        {"ko_KR", "\xc8\xbf\xb0\xfa\xc0\xbd/" + folder + "v949.wav", "", "v949.wav"},
        {"zh_TW", "\xad\xb5\xae\xc4/" + folder + "v950.wav", "", "v950.wav"},
    };
    // Wine's words for ERROR_INVALID_NAME, in the locale's language.
    const std::map<std::string, std::string> invalid_name = {
        {"ja_JP", "Invalid name"}, {"zh_CN", "\xE6\x97\xA0\xE6\x95\x88\xE5\x90\x8D\xE5\xAD\x97"},
        {"ko_KR", "\xEC\x9E\x98\xEB\xAA\xBB\xEB\x90\x9C \xEC\x9D\xB4\xEB\xA6\x84"},
        {"zh_TW", "\xE7\x84\xA1\xE6\x95\x88\xE7\x9A\x84\xE5\x90\x8D\xE7\xA8\xB1"}};
    const bool windows = testing_windows_build();
    if (!holds_name(dir.path(), a))
        GTEST_SKIP() << "the file system takes no name beyond ASCII (fusefat)";
    fs::create_directories(dir / folder);
    names files{a}, victims;
    for (const char* code_page : {"932", "936", "949", "950"}) {
        victims.push_back(std::string("v") + code_page + ".wav");
        write_file(dir / folder / victims.back(), "victim");
    }
    for (const char* locale : {"ja_JP", "zh_CN", "ko_KR", "zh_TW"}) {
        const std::string utf8_locale = locale + std::string(".UTF-8");
        locale_t installed = newlocale(LC_ALL_MASK, utf8_locale.c_str(), nullptr);
        if (installed != nullptr)
            freelocale(installed);
        else if (windows)
            GTEST_SKIP() << "Wine takes the code page from the locale " << utf8_locale << ", not installed here "
                         << "(localedef -i " << locale << " -f UTF-8 " << utf8_locale << ")";
        std::vector<builder::sound> sounds;
        printed out;
        for (const row& r : rows)
            if (r.locale == std::string_view(locale)) {
                // (Not every file system takes a name that is not UTF-8.)
                const std::string refusal = windows ? why::system(0, invalid_name.at(locale)) : name_refusal(dir.path(), r.linux_name);
                const std::string name = refusal.empty() || (windows && !r.windows_name.empty())
                                             ? (windows ? r.windows_name : r.linux_name) : "";
                sounds.push_back({r.stored, r.stored});
                out.sound(r.stored, !name.empty(), refusal);
                if (!name.empty())
                    files.push_back(name);
            }
        files.push_back(std::string(locale) + ".zqa");
        put(files.back(), pack(sounds));
        expect_run({files.back()}, printed().count(static_cast<long long>(sounds.size()), files.back()) += out,
                   {.locale = utf8_locale});
    }
    for (const std::string& name : victims)
        EXPECT_EQ(read_file(dir / folder / name), "victim") << name;
    EXPECT_EQ(list_dir(dir / folder), victims);
    for (const row& r : rows) {  // each file holds its own entry's bytes: its stored path
        const std::string& name = windows ? r.windows_name : r.linux_name;
        if (std::error_code absent; !name.empty() && (windows || fs::exists(dir / name, absent))) {
            EXPECT_EQ(get(name), r.stored);
        }
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(list_dir(dir.path()), files);
}

TEST_F(Cli, LinksAreReplacedNeverWrittenThrough)
{
    if (!holds_links(dir.path()))
        GTEST_SKIP() << "the file system has no links (FAT, exFAT)";
    scratch_dir outside;
    write_file(outside / "precious.wav", "outside bytes");
    fs::create_symlink(outside / "precious.wav", dir / "precious.wav");
    fs::create_directory_symlink(outside.path(), dir / "folder.wav");
    fs::create_symlink(outside / "nowhere", dir / "dangling.wav");
    put("l.zqa", pack({{"precious.wav", "new"}, {"dangling.wav", "d"}, {"folder.wav", "dir"}}));
    // Windows sees a link to a folder as a folder, and leaves it alone. Wine
    // sees a Linux link to a file as the file it leads to, which the tool
    // would move and delete through its handle: that sound fails there.
    const bool windows = testing_windows_build();
    expect_run({"l.zqa"}, printed().count(3, "l.zqa").sound("precious.wav", !windows, why::system(0, "Access denied"))
                              .done("dangling.wav").sound("folder.wav", !windows, why::folder));
    EXPECT_EQ(get("dangling.wav"), "d");
    EXPECT_EQ(read_file(outside / "precious.wav"), "outside bytes");
    EXPECT_EQ(list_dir(outside.path()), names{"precious.wav"});
    EXPECT_EQ(fs::is_symlink(dir / "precious.wav"), windows);
    EXPECT_EQ(get("precious.wav"), windows ? "outside bytes" : "new");
    EXPECT_EQ(fs::is_symlink(dir / "folder.wav"), windows);
    if (!windows) {
        EXPECT_EQ(get("folder.wav"), "dir");
    }
}

TEST_F(Cli, NoEntryReplacesAnArchiveOfTheRun)
{
    if (!holds_links(dir.path()) || !holds_fifos(dir.path()))
        GTEST_SKIP() << "the file system has no links or FIFOs (FAT, exFAT: the file-system rows cover its names)";
    put("b.zqa", pack({{"x.wav", "x"}}));
    fs::create_hard_link(dir / "b.zqa", dir / "hard.zqa");
    fs::create_symlink("b.zqa", dir / "soft.zqa");
    put("a.zqa", pack({{"a.zqa", "1"}, {"dir/b.zqa", "2"}, {"hard.zqa", "3"}, {"soft.zqa", "4"}, {"ok.wav", "5"}}));
    const std::string a_bytes = get("a.zqa");
    // The archives are named by other spellings than the entries use.
    expect_run({"./a.zqa", (dir / "b.zqa").string()},
               printed().count(5, "./a.zqa").failed("a.zqa", why::archive).failed("dir/b.zqa", why::archive)
                   .failed("hard.zqa", why::archive).failed("soft.zqa", why::archive).done("ok.wav")
                   .count(1, (dir / "b.zqa").string()).done("x.wav"));
    EXPECT_EQ(get("a.zqa"), a_bytes);
    EXPECT_EQ(get("hard.zqa"), pack({{"x.wav", "x"}}));
    EXPECT_TRUE(fs::is_symlink(dir / "soft.zqa"));

    // Where a file system numbers a file anew each time it loads it (a
    // shim does, for files no descriptor holds open), the archives held open
    // keep their numbers, and one past the budget (here every one, with 16
    // descriptors) is identified anew.
    // A link named as the archive protects where it leads, too.
    if (shim_reaches_tool()) {
        put("c.zqa", pack({{"b.zqa", "6"}, {"c.zqa", "7"}}));
        for (const auto& [archive, descriptors] : {std::pair{"b.zqa", -1ll}, {"b.zqa", 16ll}, {"soft.zqa", 16ll}})
            expect_run({"c.zqa", archive},
                       printed().count(2, "c.zqa").failed("b.zqa", why::archive).failed("c.zqa", why::archive)
                           .count(1, archive).done("x.wav"),
                       {.open_files_limit = descriptors, .faults = "unstable_inode"});
        EXPECT_EQ(get("b.zqa"), pack({{"x.wav", "x"}}));
    }

    // An archive's name stays its own whatever comes to it, held open or
    // not: while the run waits on a FIFO named first, another file is moved
    // to B.zqa; the sound of that name fails, and the file stays. Under 16
    // descriptors none is held, unless the hard limit lets the run raise it.
    // Beside its 3 open, the run leaves 16 free: under 20 it holds one
    // archive (A.zqa), under 21 both.
    const std::string moved = pack({{"moved.wav", "m"}});
    for (const auto& [descriptors, hard] : {std::pair{-1ll, -1ll}, {16ll, -1ll}, {16ll, 4096ll}, {20ll, -1ll}, {21ll, -1ll}}) {
        if (descriptors > 0 && testing_windows_build())
            continue;  // Wine needs more descriptors itself
        if (descriptors > 16 && testing_under_emulator())
            continue;  // and qemu-user holds some of its own
        SCOPED_TRACE(std::to_string(descriptors) + " of " + std::to_string(hard));
        const bool held = descriptors < 0 || hard > 0 || descriptors >= 21;
        scratch_dir cwd;
        write_file(cwd / "A.zqa", pack({{"B.zqa", "sound"}}));
        write_file(cwd / "B.zqa", pack({{"b.wav", "b"}}));
        write_file(cwd / "moved", moved);
        ASSERT_EQ(mkfifo((cwd / "first.zqa").c_str(), 0600), 0);
        // Opened once the run has found its archives.
        auto writer = feed_fifos({{cwd / "first.zqa", builder::header(0), [&] { fs::rename(cwd / "moved", cwd / "B.zqa"); }}});
        run_result result = run_tool(cwd.path(), {"first.zqa", "A.zqa", "B.zqa"},
                                     {.open_files_limit = descriptors, .open_files_hard_limit = hard});
        writer.wait();
        // B.zqa itself is read as the run opens it: held from the start, or not.
        const printed expected = printed().count(0, "first.zqa").count(1, "A.zqa").failed("B.zqa", why::archive)
                                     .count(1, "B.zqa").done(held ? "b.wav" : "moved.wav");
        EXPECT_EQ(result.out, expected.out);
        EXPECT_EQ(result.err, expected.err);
        EXPECT_TRUE(read_file(cwd / "B.zqa") == moved);
    }

    // A taken name that folds like an archive's is kept, also where the
    // folder keeps cases apart; under Wine the name reaches the archive itself.
    if (!testing_windows_build())
        put("CASE.ZQA", "old");
    put("case.zqa", pack({{"snd/CASE.ZQA", "c"}}));
    expect_run({"case.zqa"}, printed().count(1, "case.zqa").failed("snd/CASE.ZQA", why::archive));
    EXPECT_EQ(get(testing_windows_build() ? "case.zqa" : "CASE.ZQA"), testing_windows_build() ? pack({{"snd/CASE.ZQA", "c"}}) : "old");

    // Without b.zqa on the command line, only the archive being read is kept
    // (and, under Wine, the file a Linux link leads to).
    expect_run({"a.zqa"}, printed().count(5, "a.zqa").failed("a.zqa", why::archive).done("dir/b.zqa").done("hard.zqa")
                              .sound("soft.zqa", !testing_windows_build(), why::system(0, "Access denied")).done("ok.wav"));
    EXPECT_EQ(get("a.zqa"), a_bytes);
    EXPECT_EQ(get("b.zqa"), "2");
}

// ---- Damaged archives -----------------------------------------------------

TEST_F(Cli, UnreadableDataFailsAndLeavesOldFilesAlone)
{
    const std::uint32_t at = index_end(8);
    put("kept.wav", "kept bytes");
    put("r.zqa", builder::archive(8,
                                  {{at, 4, "past_end.wav"}, {at, 4, "kept.wav"}, {0xFFFFFFF0u, 2, "negative.wav"},
                                   {0x7FFFFFFF, 1, "farthest.wav"}, {0x80000000u, 1, "lowest.wav"},
                                   {0, 0xFFFFFFFFu, "huge.wav"}, {0x80000000u, 0, "empty.wav"},
                                   {at, 3, "fine.wav"}},
                                  "abc"));
    expect_run({"r.zqa"}, printed().count(8, "r.zqa").failed("past_end.wav", why::ends).failed("kept.wav", why::ends)
                              .failed("negative.wav", why::before).failed("farthest.wav", why::ends)
                              .failed("lowest.wav", why::before).failed("huge.wav", why::ends)
                              .done("empty.wav").done("fine.wav"));
    EXPECT_EQ(list_dir(dir.path()), (names{"empty.wav", "fine.wav", "kept.wav", "r.zqa"}));
    EXPECT_EQ(get("kept.wav"), "kept bytes");
    EXPECT_EQ(get("empty.wav"), "");
    EXPECT_EQ(get("fine.wav"), "abc");

    // An archive cut short while the run reads it (another program writing
    // it anew): the sound whose bytes went fails, as a cut found at the start
    // does, and the run ends. The run's own output holds it back: a pipe of
    // one page, read only once the archive is cut, so that the archive's size
    // was taken (its first line came) and its last sound is still to come.
    std::vector<builder::sound> sounds;
    printed expected = printed().count(151, "cut.zqa");
    for (int i = 100; i < 250; ++i) {
        sounds.push_back({std::string(120, 'n') + std::to_string(i) + ".wav", "s"});
        expected.done(sounds.back().name);
    }
    sounds.push_back({"big.wav", std::string(1 << 20, 'b')});
    const std::string whole = pack(sounds);
    put("cut.zqa", whole);
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    fcntl(out[1], F_SETPIPE_SZ, 4096);
    const int pid = start_tool(dir.path(), {"cut.zqa"}, {.merge_output = true, .stdout_fd = out[1]});
    close(out[1]);
    int waiting = 0;
    EXPECT_TRUE(poll_until([&] { return ioctl(out[0], FIONREAD, &waiting) == 0 && waiting > 0; }));
    fs::resize_file(dir / "cut.zqa", whole.size() - (1 << 19));
    std::string text;
    char chunk[4096];
    for (pollfd ready{out[0], POLLIN, 0}; poll(&ready, 1, 60000) > 0;) {
        const ssize_t count = read(out[0], chunk, sizeof chunk);
        if (count <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(count));
    }
    close(out[0]);
    kill(pid, SIGKILL);  // still running a minute after its last line: it hangs
    const run_result result = wait_tool(pid);
    EXPECT_EQ(result.term_signal, 0) << "the run hung on the cut";
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(text, expected.failed("big.wav", why::ends).both);
    EXPECT_FALSE(fs::exists(dir / "big.wav"));
    EXPECT_EQ(list_dir(dir.path()).size(), 5 + 150u);  // r.zqa and its three, cut.zqa and its 150
}

TEST_F(Cli, ArchivesCutAtEveryFieldBoundary)
{
    // One run over many archives: each is the same two-entry archive, cut
    // one byte before, at and after a boundary of the header, of an index
    // field or of an entry's data. Names carry the length, so that every
    // cut's files are its own.
    const std::uint32_t data = index_end(2);
    const std::uint32_t boundaries[] = {16, 20, 24, 28, index_end(1), index_end(1) + 4, index_end(1) + 8, data,
                                        data + 10, data + 20};
    std::vector<std::uint32_t> lengths{0};
    for (std::uint32_t boundary : boundaries)
        for (std::uint32_t length : {boundary - 1, boundary, boundary + 1})
            if (length <= data + 20 && length != lengths.back())
                lengths.push_back(length);
    std::vector<std::string> args;
    printed out;
    names files;
    for (std::uint32_t length : lengths) {
        const std::string tag = std::to_string(length);
        const std::string whole = builder::archive(
            2, {{data, 10, "a/" + tag + "-one.wav"}, {data + 10, 10, tag + "-two.wav"}}, "0123456789ABCDEFGHIJ");
        args.push_back(tag + ".zqa");
        files.push_back(args.back());
        put(args.back(), whole.substr(0, length));
        if (length < builder::header_size) {
            out.error("failed to read " + args.back() + ".");
            continue;
        }
        out.count(2, args.back());
        const char* stored[] = {"a/-one.wav", "-two.wav"};
        for (std::uint32_t k = 0; k < 2; ++k) {
            if (length < index_end(k + 1)) {
                out.error("failed to read " + args.back() + ".");
                break;
            }
            bool readable = length >= data + 10 * (k + 1);
            std::string name = std::string(stored[k]).insert(k == 0 ? 2 : 0, tag);
            out.sound(name, readable, why::ends);
            if (readable)
                files.push_back(name.substr(k == 0 ? 2 : 0));
        }
    }
    // From a pipe, ending inside the second entry: the same as from a file.
    if (!testing_windows_build()) {
        args.push_back("/dev/stdin");
        out.count(2, "/dev/stdin").done("a/pipe-one.wav").failed("pipe-two.wav", why::ends);
        files.push_back("pipe-one.wav");
    }
    // A count far beyond the file: two real entries, data inside the header.
    put("big.zqa", builder::archive(0x7FFFFFFF, {{0, 4, "sig1.wav"}, {4, 4, "sig2.wav"}}, "tail"));
    fs::create_directory(dir / "folder.zqa");
    args.insert(args.end(), {"big.zqa", "folder.zqa"});
    out.count(2147483647, "big.zqa").done("sig1.wav").done("sig2.wav").error("failed to read big.zqa.");
    // Windows does not open a folder as a file at all.
    out.error(std::string(testing_windows_build() ? "failed to open" : "failed to read") + " folder.zqa.");
    files.insert(files.end(), {"big.zqa", "folder.zqa", "sig1.wav", "sig2.wav"});

    const std::string piped = builder::archive(2, {{data, 10, "a/pipe-one.wav"}, {data + 10, 10, "pipe-two.wav"}},
                                               "0123456789ABCDE");
    expect_run(args, out, {.merge_output = true, .stdin_bytes = piped});
    std::sort(files.begin(), files.end());
    EXPECT_EQ(list_dir(dir.path()), files);
    for (const std::string& name : files) {
        if (name.ends_with("-one.wav") || name.ends_with("-two.wav")) {
            EXPECT_EQ(get(name), name.ends_with("-one.wav") ? "0123456789" : "ABCDEFGHIJ") << name;
        }
    }
    EXPECT_EQ(get("sig1.wav") + get("sig2.wav"), "SOUNDARC");
}

// ---- Failing disks --------------------------------------------------------

TEST_F(Cli, BothCopyRoadsAreExactAndFailCleanlyAtTheFileSizeLimit)
{
    // From a file here the kernel copies; from a memfd it cannot (another
    // file system), so the bytes pass through the copy buffer, as they do
    // where the kernel refuses (the shim). From a pipe, each entry is moved
    // straight into its file, by the kernel or through the buffer; a write
    // that fails inside an entry still passes over the rest of it.
    std::string pattern;
    for (int i = 0; i < 2500000; ++i)
        pattern.push_back(static_cast<char>(i * 7 % 251));
    const std::string big(128 * 1024, 'B');
    // again.wav reads small.wav's bytes anew, after the buffer held others.
    const auto at = index_end(5), p = static_cast<std::uint32_t>(pattern.size()), b = static_cast<std::uint32_t>(big.size());
    const std::string archive = builder::archive(5, {{at, 5, "small.wav"}, {at + 5, p, "pattern.wav"}, {at + 5 + p, b, "new.wav"},
                                                     {at + 5 + p + b, b, "kept.wav"}, {at, 5, "again.wav"}},
                                                 "small" + pattern + big + big);
    // From a pipe the same entries come in order, and more than a pipe holds
    // follows them, which the tool reads all the same.
    const std::string in_order = pack({{"small.wav", "small"}, {"pattern.wav", pattern}, {"new.wav", big},
                                       {"kept.wav", big}, {"again.wav", "small"}});
    const std::string tail(2 << 20, 't');
    std::vector<std::pair<std::string, run_options>> sources{{"w.zqa", {}}};
    put("w.zqa", archive);
    int memfd = testing_windows_build() ? -1 : memfd_create("archive", 0);
    if (memfd >= 0 && write(memfd, archive.data(), archive.size()) == static_cast<ssize_t>(archive.size())) {
        const std::string path = "/dev/fd/" + std::to_string(memfd);
        sources.insert(sources.end(), {{path, {.inherited_fd = memfd}},
                                       {"w.zqa", {.faults = "no_copy_range"}},
                                       {"/dev/stdin", {.stdin_bytes = in_order + tail}},
                                       {"/dev/stdin", {.stdin_bytes = in_order + tail, .faults = "no_splice"}}});
    }
    leave_out_fault_rows(sources, [](const auto& source) { return source.second; });  // (none under qemu-user)
    for (auto [path, options] : sources) {
        SCOPED_TRACE(path + " " + options.faults);
        put("kept.wav", "kept bytes");
        // The tool is not shielded from SIGXFSZ here: it must stand it itself.
        options.file_size_limit = 100000;
        const std::string too_large = why::system(EFBIG, "Write fault");  // (Wine at the file-size limit)
        expect_run({path}, printed().count(5, path).done("small.wav").failed("pattern.wav", too_large)
                               .failed("new.wav", too_large).failed("kept.wav", too_large).done("again.wav"),
                   options);
        EXPECT_EQ(list_dir(dir.path()), (names{"again.wav", "kept.wav", "small.wav", "w.zqa"}));
        EXPECT_EQ(get("kept.wav"), "kept bytes");
        EXPECT_EQ(get("small.wav") + get("again.wav"), "smallsmall");
        options.file_size_limit = -1;
        expect_run({path}, printed().count(5, path).done("small.wav").done("pattern.wav").done("new.wav")
                               .done("kept.wav").done("again.wav"),
                   options);
        EXPECT_TRUE(get("pattern.wav") == pattern) << "2,500,000 bytes across two boundaries of the 1 MiB buffer";
        EXPECT_TRUE(get("kept.wav") == big);
        EXPECT_EQ(get("again.wav"), "small");
        fs::remove(dir / "new.wav");
        fs::remove(dir / "pattern.wav");
    }
    if (memfd >= 0)
        close(memfd);
}

TEST_F(Cli, PipedArchivesEndWellWhateverTheRoom)
{
    if (testing_windows_build())
        GTEST_SKIP() << "Windows names no path for standard input";
    // However little room the working directory has, the program feeding a
    // piped archive ends well: the tool reads what it writes, or, past the
    // farthest byte the index names and 64 MiB more, lets go of the pipe.
    // Rooms: a read-only folder (no spool at all: the index is held in
    // memory), a file-size limit (the spool cut short), a small file system
    // (the spool takes half of it at most).
    scratch_dir mounts;
    const fs::path read_only = mounts / "ro", small = mounts / "small";
    fs::create_directory(read_only);
    fs::create_directory(small);
    const bool mounted = geteuid() == 0 && mount("tmpfs", read_only.c_str(), "tmpfs", MS_RDONLY, "size=1m") == 0 &&
                         mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8m") == 0;
    const std::uint32_t at = index_end(2);
    const std::string in_order = pack({{"a/x.wav", "hello"}, {"y.wav", "world!"}}) + std::string(3 << 20, 'T');
    const std::string out_of_order =
        builder::archive(2, {{at + 200000, 4, "late.wav"}, {at, 5, "early.wav"}}, "early" + std::string(200000, '-') + "late");
    std::string yes;  // as yes(1) writes it
    while (yes.size() < (1 << 16))
        yes += "y\n";
    struct row {
        const char* what;
        fs::path cwd;
        std::string archive;
        run_options options;
        std::string out;  // after "2 sounds in /dev/stdin.\n"; "" for the file's
    };
    std::vector<row> rows = {
        {"zeros without end after the index", dir.path(), pack({{"", ""}}).substr(0, index_end(1)) + std::string(1 << 16, '\0'),
         {.stdin_endless = true}, printed().failed("", why::no_name).both},
    };
    if (holds_writers_to_size_limit(dir.path()))  // (fusefat does not)
        rows.push_back({"a spool cut short by the file-size limit", dir.path(), out_of_order, {.file_size_limit = 100000},
                        printed().failed("late.wav", why::ends).done("early.wav").both});
    // Without unnamed files, an index held whole in memory whose entries
    // are out of order goes into a spool under a hidden name.
    rows.insert(rows.end(), {{"out of order, without unnamed files", dir.path(), out_of_order, {.faults = "no_tmpfile"},
                              printed().done("late.wav").done("early.wav").both},
                             // (a small fusefat image): no bound but a failing write
                             {"out of order, where no room is counted", dir.path(), out_of_order,
                              {.faults = "no_room_count"}, printed().done("late.wav").done("early.wav").both}});
    // Past half of the room (8 MiB), the spool stops: the sounds before
    // that still find room.
    const std::string past_half =
        builder::archive(2, {{at + (5 << 20), 4, "late.wav"}, {at + 100000, 5, "early.wav"}},
                         std::string(100000, '-') + "early" + std::string((5 << 20) - 100005, '-') + "late");
    if (mounted)
        rows.insert(rows.end(), {{"in order, in a read-only folder", read_only, in_order, {}, ""},
                                 {"out of order, in a read-only folder", read_only, out_of_order, {}, ""},
                                 {"y\\n without end, in 8 MiB", small, yes,
                                  {.stdin_endless = true}, ""},
                                 {"out of order, past half of 8 MiB", small, past_half, {},
                                  printed().failed("late.wav", why::ends).done("early.wav").both}});
    leave_out_fault_rows(rows, [](const row& r) { return r.options; });  // (none under qemu-user)
    for (row& r : rows) {
        SCOPED_TRACE(r.what);
        r.options.merge_output = true;
        r.options.stdin_bytes = r.archive;
        run_result piped = run_tool(r.cwd, {"/dev/stdin"}, r.options);
        EXPECT_EQ(piped.exit_code, 0);
        if (r.options.stdin_endless) {
            EXPECT_LT(piped.stdin_fed, std::size_t{1} << 30) << "it let go of the pipe";
            if (r.out.empty())  // an index far beyond the room: cut short
                EXPECT_TRUE(piped.out.ends_with("failed to read /dev/stdin.\n")) << piped.out.substr(0, 200);
            else
                EXPECT_EQ(piped.out, "1 sounds in /dev/stdin.\n" + r.out);
        } else {
            EXPECT_EQ(piped.stdin_fed, r.archive.size()) << "every byte fed was read";
            write_file(mounts / "a.zqa", r.archive);
            std::string expected = "2 sounds in /dev/stdin.\n" + r.out;
            if (r.out.empty()) {  // what the file prints
                expected = run_tool(r.cwd, {(mounts / "a.zqa").string()}, r.options).out;
                expected.replace(expected.find(mounts / "a.zqa"), (mounts / "a.zqa").string().size(), "/dev/stdin");
            }
            EXPECT_EQ(piped.out, expected);
        }
        for (const std::string& name : list_dir(r.cwd)) {
            EXPECT_TRUE(name.ends_with(".zqa") || name.ends_with(".wav")) << name << " is left";
            if (name.ends_with(".wav"))
                fs::remove(r.cwd / name);
        }
    }
    for (const fs::path& mounted_on : {read_only, small})
        umount2(mounted_on.c_str(), MNT_DETACH);
    if (!holds_fifos(dir.path()))
        return;
    // It lets go of the pipe once done with it, not at its exit: the next
    // archive, a FIFO, is fed only once the program feeding the pipe ends.
    std::atomic<bool> ended = false;
    bool ended_first = false;
    ASSERT_EQ(mkfifo((dir / "next.zqa").c_str(), 0600), 0);
    auto writer = feed_fifos({{dir / "next.zqa", pack({{"n.wav", "n"}}),
                               [&] { ended_first = poll_until([&] { return ended.load(); }, std::chrono::seconds(20)); }}});
    run_result result = run({"/dev/stdin", "next.zqa"}, {.stdin_bytes = rows[0].archive, .stdin_endless = true,
                                                         .stdin_ended = [&] { ended = true; }});
    writer.get();
    EXPECT_TRUE(ended_first) << "the tool held the pipe while it waited for the next archive";
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(get("n.wav"), "n");

    // A FIFO that took a regular archive's place once the run had looked
    // (the shim's stat still sees a file at swapped.zqa) is opened at its
    // turn, as a pipe, not held from the start, where it would be read
    // without waiting for its writer: while the run reads the FIFO before
    // it, no one has it open.
    if (!shim_reaches_tool())
        return;
    ASSERT_EQ(mkfifo((dir / "first.zqa").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir / "swapped.zqa").c_str(), 0600), 0);
    bool held_early = true;
    auto swapped = feed_fifos({{dir / "first.zqa", builder::header(0),
                                [&] {
                                    int probe = open((dir / "swapped.zqa").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                                    held_early = probe >= 0;  // else ENXIO: no reader
                                    if (probe >= 0)
                                        close(probe);
                                }},
                               {dir / "swapped.zqa", pack({{"s.wav", "s"}})}});
    expect_run({"first.zqa", "swapped.zqa"},
               printed().count(0, "first.zqa").count(1, "swapped.zqa").done("s.wav"), {.faults = "fifo_seems_regular"});
    close(open((dir / "swapped.zqa").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));  // a feeder the run never met goes
    swapped.wait();
    EXPECT_FALSE(held_early) << "swapped.zqa was open while the run read first.zqa";
    EXPECT_EQ(get("s.wav"), "s");
}

TEST_F(Cli, MemoryStaysBoundedWhateverAnEntrySays)
{
    if (TOOL_SANITIZED)
        GTEST_SKIP() << "the address sanitizer reserves far more address space than the limit";
    if (testing_windows_build() || testing_under_emulator())
        GTEST_SKIP() << (testing_windows_build() ? "Wine" : "qemu-user") << " reserves far more address space than the limit";
    std::string big(64 << 20, 'S');
    big[12345] = 'x';
    put("m.zqa", pack({{"big.wav", big}}));
    const printed huge_lines = printed().count(1, "h.zqa").failed("huge.wav", why::ends);
    put("h.zqa", builder::archive(1, {{0, 0xFFFFFFFFu, "huge.wav"}}));
    // 40 MiB of address space: the tool and its libraries fit, the entry does not.
    expect_run({"m.zqa", "h.zqa"}, printed().count(1, "m.zqa").done("big.wav") += huge_lines, {.memory_limit = 40 << 20});
    EXPECT_TRUE(get("big.wav") == big);

    // However narrow the address space, nothing aborts: from where the
    // libraries no longer load (status 127) to where everything fits, the
    // tool does what it can and fails the rest. Steps of 48 KiB find the
    // band, about 100 KiB wide, where the heap is all but gone. (Not in a
    // coverage build, whose gcov data writer itself crashes at exit there.)
    // A piped archive with no unnamed file to copy it into asks for its
    // index in memory: nearly 4 MiB, which the band does not have.
    const std::string piped = builder::header(15000) + std::string(4096, '\0');
    for (long long kib = 4096; !TOOL_COVERAGE && kib <= 8192; kib += 48) {
        run_result result =
            run({"h.zqa", "/dev/stdin"}, {.stdin_bytes = piped, .memory_limit = kib << 10, .faults = "no_tmpfile"});
        EXPECT_EQ(result.term_signal, 0) << kib << " KiB";
        EXPECT_TRUE(result.exit_code == 0 || result.exit_code == 127) << kib << " KiB: " << result.err;
    }

    // 30,000 more paths (missing) make the run's tables large. At the least
    // address space where a sound is extracted at all (found by halving, in
    // steps of 64 KiB), the tables cannot be had: the run says so, takes
    // free names, and replaces nothing; at any limit where it says so, the
    // taken file stays. (Not in a coverage build either.)
    if (TOOL_COVERAGE)
        return;
    put("t.zqa", pack({{"taken.wav", "new"}, {"free.wav", "fresh"}}));
    std::vector<std::string> args{"t.zqa"};
    const std::string no_tables = "no memory to tell the run's archives: no sound replaces a file.\n";
    printed expected = printed().error(no_tables.substr(0, no_tables.size() - 1)).count(2, "t.zqa");
    expected.failed("taken.wav", why::no_tables).done("free.wav");
    for (int i = 0; i < 30000; ++i) {
        args.push_back("missing/" + std::to_string(i) + ".zqa");
        expected.error("failed to open " + args.back() + ".");
    }
    auto extracts_at = [&](long long kib) {
        put("taken.wav", "old");
        fs::remove(dir / "free.wav");
        run_result result = run(args, {.memory_limit = kib << 10});
        EXPECT_EQ(result.term_signal, 0) << kib << " KiB";
        if (result.err.starts_with(no_tables)) {
            EXPECT_EQ(get("taken.wav"), "old") << kib << " KiB";
        }
        return result.out.find("extract [free.wav]...done.") != std::string::npos;
    };
    long long low = 4096, high = 40 << 10;  // none extracted at `low`; extracted at `high`
    while (high - low > 64)
        (extracts_at((low + high) / 2) ? high : low) = (low + high) / 2;
    put("taken.wav", "old");
    fs::remove(dir / "free.wav");
    expect_run(args, expected, {.memory_limit = high << 10});
    EXPECT_EQ(get("taken.wav"), "old");
    EXPECT_EQ(get("free.wav"), "fresh");
}

TEST_F(Cli, EveryRoadToANameKeepsWholeOrAbsent)
{
    if (!shim_reaches_tool())
        GTEST_SKIP() << (testing_windows_build() ? "the fault shim is for Linux: Windows has one road, which every other test runs"
                                                 : "the fault shim would load into qemu-user, not the tool");
    fs::create_directory(dir / "dir.wav");
    put("h.zqa", pack({{"new.wav", "n"}, {"taken.wav", "t"}, {"dir.wav", "d"}, {"h.zqa", "h"},
                       {"big.wav", std::string(128 << 10, 'b')}, {"x/taken.wav", std::string(128 << 10, 'x')}}));
    const std::string archive = get("h.zqa");
    // The lines of a run whose four sounds fail for these reasons ("": done),
    // and the folder's and the archive's sound for theirs where it is not
    // the name (a failure that comes first).
    auto lines_of = [](const std::string& new_wav, const std::string& taken, const std::string& big,
                       const std::string& x_taken, const std::string& first = "") {
        return printed().count(6, "h.zqa").sound("new.wav", new_wav.empty(), new_wav).sound("taken.wav", taken.empty(), taken)
            .failed("dir.wav", first.empty() ? why::folder : first).failed("h.zqa", first.empty() ? why::archive : first)
            .sound("big.wav", big.empty(), big).sound("x/taken.wav", x_taken.empty(), x_taken);
    };
    const std::string too_large = why::system(EFBIG), io = why::system(EIO), no_fd = why::system(EMFILE),
                      exists = why::system(EEXIST);
    const printed fine = lines_of("", "", too_large, too_large), none = lines_of(io, io, io, io);
    // Where the file system has no unnamed files (FUSE stores), each file is
    // closed under its temporary name, before any name is looked at.
    const bool unnamed = holds_unnamed_files(dir.path());
    const printed closed_first = lines_of(io, io, io, io, io);
    // Each road, what it prints, and whether the sounds at free names are there.
    const std::tuple<run_options, printed, bool> roads[] = {
        // A hidden temporary name, closed before it is named: no unnamed
        // files, or no way to link them (no AT_EMPTY_PATH, no /proc).
        {{.file_size_limit = 64 << 10, .faults = "no_tmpfile"}, fine, true},
        {{.file_size_limit = 64 << 10, .faults = "no_link"}, fine, true},
        // No no-replace rename: the name is taken by a hard link; without
        // links either, it is claimed.
        {{.file_size_limit = 64 << 10, .faults = "no_tmpfile,no_rename2"}, fine, true},
        {{.file_size_limit = 64 << 10, .faults = "no_hard_link,no_rename2"}, fine, true},
        // A close that fails never costs the old file, on either road.
        {{.faults = "failing_close"}, unnamed ? none : closed_first, false},
        {{.faults = "failing_close,no_tmpfile"}, closed_first, false},
        // Where a close is not to fail, one that fails all the same after
        // the name is given leaves the whole sound there: done. One before
        // the name (to replace) keeps the old file.
        {{.faults = "close_fails_locally"}, unnamed ? lines_of("", io, "", io) : closed_first, unnamed},
        // Where a hidden name it tries is taken, it tries another; where
        // every one is, it gives up and makes none.
        {{.file_size_limit = 64 << 10, .faults = "no_tmpfile,first_hidden_name_taken"}, fine, true},
        {{.faults = "no_tmpfile,hidden_names_taken"}, lines_of(exists, exists, exists, exists, exists), false},
        // With no descriptor to spare, no file can be made at all.
        {{.open_files_limit = 4}, lines_of(no_fd, no_fd, no_fd, no_fd, no_fd), false},
    };
    for (const auto& [options, out, free_named] : roads) {
        SCOPED_TRACE(options.faults);
        put("taken.wav", "old");
        fs::remove(dir / "new.wav");
        fs::remove(dir / "big.wav");
        expect_run({"h.zqa"}, out, options);
        bool named = out.both == fine.both;
        names files{"dir.wav", "h.zqa", "taken.wav"};
        if (free_named)
            files.push_back("new.wav");
        if (free_named && !named)
            files.push_back("big.wav");
        std::sort(files.begin(), files.end());
        EXPECT_EQ(list_dir(dir.path()), files) << "no temporary file";
        EXPECT_EQ(get("taken.wav"), named ? "t" : "old");
        if (free_named && !named) {
            EXPECT_TRUE(get("big.wav") == std::string(128 << 10, 'b'));
        }
        EXPECT_TRUE(get("h.zqa") == archive);
    }
}

// ---- Interruptions and races ------------------------------------------------

TEST_F(Cli, InterruptedRunsLeaveWholeFilesOrOldOnes)
{
    // Each signal is sent once the run is provably at work: while a large
    // entry's file holds part of its bytes, or once some of 1,500 small
    // entries are out (200 where a sound claims its name: on FAT, whose
    // folders are lists, each takes milliseconds). A run that ended first
    // proves nothing and fails.
    const bool windows = testing_windows_build();
    const std::string big(48 << 20, 'B');
    std::vector<builder::sound> small;
    for (int i = 0; i < (holds_links(dir.path()) ? 1500 : 200); ++i)
        small.push_back({"s/" + std::to_string(i) + ".wav", std::string(1000, static_cast<char>('a' + i % 26))});
    struct scenario {
        const char* what;
        bool big_entry;   // else the small ones
        bool taken;       // the output names hold old files (every other one, for small entries)
        std::vector<int> signals;
        run_options options = {};
        bool neighbour = false;  // another process renames its own file over the temporary name
        bool piped = false;      // the archive comes through a pipe: copied first, in the working directory
        bool after_a_failure = false;  // after an archive whose one output found no descriptor free
    };
    const std::vector<int> every = windows ? std::vector<int>{SIGKILL, SIGINT}
                                           : std::vector<int>{SIGKILL, SIGINT, SIGTERM, SIGHUP};
    // Where each lands in the life of an output file drawn at the top of
    // each port: Linux's stage "unnamed" (Windows': "temporary", marked)
    // while a big entry is written; any stage of either road among small
    // entries ("named", and over old files "temporary" and "exchanged" too).
    std::vector<scenario> scenarios = {{"one big entry", true, false, every},
                                       {"one big entry over an old file", true, true, every},
                                       {"small entries", false, false, {SIGKILL, SIGINT}},
                                       {"small entries, half over old files", false, true, {SIGKILL, SIGTERM}}};
    if (!windows) {
        // "temporary", while written: the handler removes it, a kill leaves it.
        scenarios.push_back({"no unnamed files", true, false, {SIGKILL, SIGINT}, {.faults = "no_tmpfile"}});
        scenarios.push_back({"no unnamed files, over an old file", true, true, {SIGKILL}, {.faults = "no_tmpfile"}});
        // "temporary" in the run's hidden folder and "claim", where sounds
        // claim their names: the handler removes the folder too, a kill
        // leaves it.
        scenarios.push_back({"no unnamed files, no links, no no-replace renames", false, false, {SIGKILL, SIGINT},
                             {.faults = "no_tmpfile,no_hard_link,no_rename2"}});
        // "temporary", its name taken over by another's file: the handler leaves that.
        scenarios.push_back({"a neighbour's file at the temporary name", true, false, {SIGINT},
                             {.faults = "no_tmpfile"}, true});
        // The piped archive's copy: unnamed, or made and unlinked at once with
        // the signals held; then "unnamed" for the entry.
        scenarios.push_back({"a piped archive, while it is copied", true, false, {SIGKILL}, {}, false, true});
        scenarios.push_back({"a piped archive without unnamed files", true, false, {SIGKILL},
                             {.faults = "no_tmpfile"}, false, true});
        // "unnamed" again after a passing failure to make one.
        scenarios.push_back({"after a run short of descriptors", true, false, {SIGKILL},
                             {.faults = "emfile_once"}, false, false, true});
        // PID 1 ignores what it has no handler for (qemu-user as PID 1 may
        // then never end: not under it).
        if (geteuid() == 0 && !testing_under_emulator())
            scenarios.push_back({"as PID 1", false, false, {SIGTERM}, {.as_init = true}});
    }
    leave_out_fault_rows(scenarios, [](const scenario& s) { return s.options; });  // (none under qemu-user)
    const std::string big_archive = windows ? builder::archive(1, {{builder::index_end(1), 1u << 30, "big.wav"}})
                                            : pack({{"big.wav", big}});
    const std::string small_archive = pack(small);
    for (const scenario& s : scenarios) {
        for (int signal_number : s.signals) {
            SCOPED_TRACE(std::string(s.what) + ", signal " + std::to_string(signal_number));
            scratch_dir cwd;
            const std::string& archive = s.big_entry ? big_archive : small_archive;
            if (!s.piped)
                write_file(cwd / "k.zqa", archive);
            // Wine may take a while to pass an interruption on to the program
            // on a busy machine: there the entry is a sparse 1 GiB, whose copy
            // outlasts that; elsewhere 48 MiB, which the kernel copies from a
            // file faster than a poll may see: there it comes through a pipe
            // (below), and k.zqa stands by.
            if (windows && s.big_entry)
                fs::resize_file(cwd / "k.zqa", builder::index_end(1) + (1u << 30));
            if (s.taken)
                for (std::size_t i = 0; i < (s.big_entry ? 1 : small.size()); i += 2)
                    write_file(cwd / (s.big_entry ? "big.wav" : std::to_string(i) + ".wav"), "old");
            run_options options = s.options;
            std::vector<std::string> args{s.piped ? "/dev/stdin" : "k.zqa"};
            if (s.after_a_failure) {
                write_file(cwd / "p.zqa", pack({{"p.wav", "p"}}));
                args.insert(args.begin(), "p.zqa");
            }
            // A big entry (and the neighbour's row) on Linux: the sound comes
            // through a pipe, half of it before the signal, so that the run
            // is provably mid-copy then.
            int feed[2] = {-1, -1};
            std::thread feeder;
            if (s.neighbour || (s.big_entry && !windows)) {
                ASSERT_EQ(pipe(feed), 0);
                std::signal(SIGPIPE, SIG_IGN);  // the run is ended before it takes the rest
                options.stdin_fd = feed[0];
                args.back() = "/dev/stdin";
                feeder = std::thread([&] { (void)!write(feed[1], archive.data(), archive.size() / 2); });
            }
            int pid = start_tool(cwd.path(), args, options);
            if (feeder.joinable())
                close(feed[0]);
            bool at_work = s.big_entry ? wait_until_copying(pid, cwd.path())
                                       : poll_until([&] { return fs::exists(cwd / "1.wav"); });
            std::string neighbour;
            for (const std::string& name : list_dir(cwd.path()))
                if (s.neighbour && name.starts_with(temporary_prefix)) {
                    write_file(cwd / "mine", "the neighbour's");
                    fs::rename(cwd / "mine", cwd / name);
                    neighbour = name;
                }
            kill(pid, signal_number);
            run_result result = wait_tool(pid);
            if (feeder.joinable()) {
                close(feed[1]);
                feeder.join();
            }
            ASSERT_TRUE(at_work) << "the run never got to work";
            // PID 1 exits with 128 and the signal's number; Wine's end says nothing.
            EXPECT_EQ(s.options.as_init ? result.exit_code - 128 : windows ? signal_number : result.term_signal,
                      signal_number);
            // Wine removes a killed program's files marked for deletion
            // once it notices that the program is gone.
            auto temporary = [](const std::string& name) { return name.starts_with(temporary_prefix); };
            names left;
            poll_until(
                [&] {
                    left = list_dir(cwd.path());
                    return !windows || std::none_of(left.begin(), left.end(), temporary);
                },
                std::chrono::seconds(10));
            // Without unnamed files on Linux, nothing removes a killed run's
            // temporary file, but it is never at a sound's name.
            if (signal_number == SIGKILL && (s.options.faults.starts_with("no_tmpfile") || !holds_unnamed_files(cwd.path())))
                std::erase_if(left, temporary);
            if (s.neighbour) {
                ASSERT_FALSE(neighbour.empty());
                EXPECT_EQ(left, (names{neighbour, "k.zqa"}));
                EXPECT_EQ(read_file(cwd / neighbour), "the neighbour's");
                continue;
            }
            if (s.piped) {
                EXPECT_EQ(left, names{}) << "nothing of the copy of the archive is left";
                continue;
            }
            if (s.big_entry) {
                // Signalled mid-copy, the run leaves the archives and what was there.
                EXPECT_EQ(left, (s.taken ? names{"big.wav", "k.zqa"}
                                         : s.after_a_failure ? names{"k.zqa", "p.zqa"} : names{"k.zqa"}));
                if (s.taken) {
                    EXPECT_EQ(read_file(cwd / "big.wav"), "old");
                }
                continue;
            }
            std::size_t extracted = 0;
            for (const std::string& name : left) {
                if (name == "k.zqa")
                    continue;
                ASSERT_FALSE(fs::is_directory(cwd / name)) << name << ": a folder left behind";
                std::string bytes = read_file(cwd / name);
                bool whole = name.ends_with(".wav") &&
                             bytes == small.at(static_cast<std::size_t>(std::stoi(name))).data;
                // A kill may land between linking a finished file under a
                // temporary name and renaming it (on Windows: between taking
                // off its mark and renaming it), which leaves that file whole;
                // on Windows also between creating a file and marking it,
                // which leaves it empty.
                bool killed = signal_number == SIGKILL || windows;
                bool leftover = killed && temporary(name) &&
                                ((bytes.size() == 1000 && bytes == std::string(1000, bytes[0])) ||
                                 (windows && bytes.empty()));
                // Where the file system has neither links nor no-replace
                // renames (FAT, exFAT, the shim's), a kill in the claim's window leaves
                // its empty file at the name (BUGS).
                bool claimed = signal_number == SIGKILL && bytes.empty() &&
                               (!holds_links(cwd.path()) || s.options.faults.find("no_hard_link") != std::string::npos);
                EXPECT_TRUE(whole || leftover || claimed || (s.taken && bytes == "old")) << name << ": " << bytes.size();
                extracted += whole;
            }
            EXPECT_LT(extracted, small.size()) << "the run ended before its signal";
        }
    }
}

TEST_F(Cli, AnArchiveRenamedOntoAReplacedNameKeepsItsBytes)
{
    if (testing_windows_build())
        GTEST_SKIP() << "Windows holds the run's archives without delete sharing: no rename replaces them";
    if (!holds_links(dir.path()))
        GTEST_SKIP() << "the file system has no hard links (FAT, exFAT)";
    // While 3,000 entries replace x.wav in turn, another process swaps the
    // run's other archive, and a hard link of the archive being read, with
    // x.wav and back (by exchanges, which lose nothing themselves): neither
    // loses a name. Where the file system cannot exchange, the tool moves
    // what is at the name aside first (a plain rename there lost one).
    const std::string a1 = pack(std::vector<builder::sound>(3000, {"x.wav", "new"}));
    const std::string a2 = pack({{"y.wav", "y"}});
    auto swap_or_move = [](const fs::path& from, const fs::path& to) {
        if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) != 0)
            renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    };
    std::vector<std::string> faults{""};
    if (shim_reaches_tool())
        faults.insert(faults.end(), {"no_exchange", "no_rename2"});
    for (const std::string& fault : faults) {
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(fault + ", round " + std::to_string(round));
            scratch_dir cwd;
            write_file(cwd / "a1.zqa", a1);
            write_file(cwd / "a2.zqa", a2);
            fs::create_hard_link(cwd / "a1.zqa", cwd / "hard.zqa");
            int pid = start_tool(cwd.path(), {"a1.zqa", "a2.zqa"}, {.faults = fault});
            poll_until([&] { return fs::exists(cwd / "x.wav"); });  // the run holds its archives by now
            std::atomic<bool> done{false};
            std::thread swapper([&] {
                while (!done)
                    for (const char* name : {"a2.zqa", "hard.zqa"}) {
                        swap_or_move(cwd / name, cwd / "x.wav");
                        swap_or_move(cwd / "x.wav", cwd / name);
                    }
            });
            run_result result = wait_tool(pid);
            done = true;
            swapper.join();
            EXPECT_EQ(result.exit_code, 0);
            // What the tool could not put back, where the racer had moved on
            // meanwhile, stays under a hidden name.
            names left = list_dir(cwd.path());
            for (const std::string* bytes : {&a1, &a2})
                EXPECT_EQ(std::count_if(left.begin(), left.end(),
                                        [&](const std::string& name) { return read_file(cwd / name) == *bytes; }),
                          bytes == &a1 ? 2 : 1);
        }
    }
}

TEST_F(Cli, ANameThatMovesOnAroundAnExchangeKeepsEveryFile)
{
    if (!shim_reaches_tool())
        GTEST_SKIP() << "the fault shim is for Linux, and loads into qemu-user, not the tool";
    if (!holds_exchange(dir.path()))
        GTEST_SKIP() << "the file system has no exchange";
    // Another process renames its files onto x.wav just before the exchange
    // that replaces it, and just after, or removes the name then: the sound
    // fails, and the first file goes back to the name. The second, which
    // the exchange back took, stays under the hidden name the run gives.
    for (const bool second : {true, false}) {
        SCOPED_TRACE(second ? "a second file after" : "the name removed after");
        scratch_dir cwd;
        write_file(cwd / "a.zqa", pack({{"x.wav", "new"}}));
        write_file(cwd / "x.wav", "old");
        write_file(cwd / "neighbour-1", "first");
        if (second)
            write_file(cwd / "neighbour-2", "second");
        run_result result = run_tool(cwd.path(), {"a.zqa"}, {.faults = "name_moves_on"});
        EXPECT_EQ(result.out, printed().count(1, "a.zqa").failed("x.wav", "").out);
        const std::string raced = "failed to extract x\\.wav: another program changed the name meanwhile\\.\n";
        std::smatch kept;
        const std::regex line(second ? "failed to put back x\\.wav: it is now (\\.snd_extractor-\\w+\\.tmp)\\.\n" + raced
                                     : raced);
        ASSERT_TRUE(std::regex_match(result.err, kept, line)) << result.err;
        EXPECT_EQ(read_file(cwd / "x.wav"), "first");
        if (second) {
            EXPECT_EQ(read_file(cwd / kept[1].str()), "second");
            EXPECT_EQ(list_dir(cwd.path()), (names{kept[1].str(), "a.zqa", "x.wav"}));
        } else {
            EXPECT_EQ(list_dir(cwd.path()), (names{"a.zqa", "x.wav"}));
        }
    }
}

TEST_F(Cli, AFilePutAtTheTemporaryNameIsNeverNamedASound)
{
    // While the sound comes through a pipe into its hidden temporary name
    // (no unnamed files: the shim's, or the file system's own), another
    // process renames its file over that name: the sound fails, and that
    // file is neither named as the sound nor removed.
    run_options options;
    if (holds_unnamed_files(dir.path())) {
        if (!shim_reaches_tool())
            GTEST_SKIP() << "the tool writes unnamed files here, and the shim does not reach it";
        options.faults = "no_tmpfile";
    }
    const std::string piped = pack({{"big.wav", std::string(4 << 20, 'b')}});
    int feed[2];
    ASSERT_EQ(pipe2(feed, O_CLOEXEC), 0);
    options.stdin_fd = feed[0];
    int pid = start_tool(dir.path(), {"/dev/stdin"}, options);
    close(feed[0]);
    std::signal(SIGPIPE, SIG_IGN);
    auto feed_all = [&](const char* bytes, std::size_t size) {
        for (ssize_t count = 0; size > 0 && count >= 0; bytes += count, size -= static_cast<std::size_t>(count))
            count = write(feed[1], bytes, size);
    };
    feed_all(piped.data(), piped.size() / 2);
    const bool copying = wait_until_copying(pid, dir.path());
    names left = list_dir(dir.path());
    std::erase_if(left, [](const std::string& name) { return !name.starts_with(temporary_prefix); });
    // On overlayfs a rename over a file waits while a splice into it waits
    // for the pipe: the neighbour renames in a thread of its own, and the
    // rest is fed a little at a time until that rename is done.
    std::atomic<bool> renamed{false};
    std::thread neighbour([&] {
        if (copying && left.size() == 1) {
            put("mine", "the neighbour's");
            fs::rename(dir / "mine", dir / left[0]);
        }
        renamed = true;
    });
    const char* rest = piped.data() + piped.size() / 2;
    std::size_t size = piped.size() - piped.size() / 2;
    for (; !renamed && size > 4096; rest += 4096, size -= 4096) {
        feed_all(rest, 4096);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool mid_copy = renamed;
    feed_all(rest, size);
    close(feed[1]);
    neighbour.join();
    EXPECT_EQ(wait_tool(pid).exit_code, 0);
    ASSERT_TRUE(copying);
    ASSERT_TRUE(mid_copy) << "the neighbour's rename came after the copy";
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(list_dir(dir.path()), left);
    EXPECT_EQ(get(left[0]), "the neighbour's");
}

TEST_F(Cli, AFailingCopyNeverRemovesAnotherRunsFile)
{
    put("failing.zqa", pack({{"same.wav", std::string(16 << 20, 'F')}}));
    put("good.zqa", pack({{"same.wav", "good"}}));
    for (int round = 0; round < 3; ++round) {
        // The failing run meets its file-size limit while the good one runs.
        int pid = start_tool(dir.path(), {"failing.zqa"}, {.file_size_limit = 8 << 20});
        expect_run({"good.zqa"}, printed().count(1, "good.zqa").done("same.wav"));
        EXPECT_EQ(wait_tool(pid).exit_code, 0);
        EXPECT_EQ(get("same.wav"), "good");
        EXPECT_EQ(list_dir(dir.path()), (names{"failing.zqa", "good.zqa", "same.wav"}));
    }
}

// ---- Standard output ----------------------------------------------------------

TEST_F(Cli, ALostProgressStreamIsReportedAndTheRunGoesOn)
{
    put("p.zqa", pack({{"a.wav", "aaa"}, {"b.wav", "bb"}}));
    for (output_to out : {output_to::full_device, output_to::nowhere}) {
        run_result result = run({"p.zqa", "p.zqa"}, {.out = out});
        EXPECT_EQ(result.err, lines("failed to write standard output.\n"));
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(list_dir(dir.path()), (names{"a.wav", "b.wav", "p.zqa"}));
        EXPECT_EQ(get("a.wav") + get("b.wav"), "aaabb");
        fs::remove(dir / "a.wav");
    }

    // A reader that goes away (| head -c 10) while lines are still to come,
    // 22 KB of them, far past what the output buffers before its first
    // write: every entry is extracted all the same (100 of them: FAT folders
    // are slow lists).
    std::vector<builder::sound> many;
    for (int i = 0; i < 100; ++i)
        many.push_back({"m/" + std::string(200, 'd') + "/" + std::to_string(i) + ".wav", "m"});
    put("many.zqa", pack(many));
    run_result result = run({"many.zqa"}, {.out = output_to::closed_pipe});
    EXPECT_EQ(result.err, lines("failed to write standard output.\n"));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(list_dir(dir.path()).size(), 100u + 3u);  // with b.wav, p.zqa and many.zqa
    EXPECT_EQ(get("99.wav"), "m");
}

// The text as a terminal draws it: a backspace moves back one column, and
// what follows overwrites.
std::string as_drawn(const std::string& text)
{
    std::string screen, line;
    std::size_t column = 0;
    for (char c : text) {
        if (c == '\b') {
            column -= column > 0;
        } else if (c == '\n') {
            screen += line + '\n';
            line.clear();
            column = 0;
        } else {
            line.resize(std::max(line.size(), column + 1));
            line[column++] = c;
        }
    }
    return screen + line;
}

TEST_F(Cli, NeverWaitsForAKeyOnATerminalOrWithPipes)
{
    // Only a console that the shell made for the tool alone waits (the
    // decision's rows are in-process). On a terminal (Wine draws a console
    // there that may look like the tool's own) and with pipes, the run ends
    // by itself, with no closing line: a run still going after two minutes
    // is ended, and fails.
    put("a.zqa", pack({{"a.wav", "a"}}));
    const run_options ways[] = {
        {.out = output_to::terminal, .input_from_terminal = true, .seconds_limit = 120},
        {.stdin_bytes = "y", .seconds_limit = 120},
    };
    for (const run_options& options : ways)
        for (const std::vector<std::string>& args : {std::vector<std::string>{"a.zqa"}, std::vector<std::string>{}}) {
            SCOPED_TRACE(std::string(options.out == output_to::terminal ? "terminal" : "pipes") + ", " +
                         std::to_string(args.size()) + " archives");
            run_result result = run(args, options);
            EXPECT_FALSE(result.ended_by_limit) << "it waited";
            EXPECT_EQ(result.exit_code, args.empty() ? 255 : 0);
            EXPECT_EQ(result.out.find("Press a key"), std::string::npos) << result.out;
            EXPECT_EQ(result.err.find("Press a key"), std::string::npos) << result.err;
        }
}

TEST_F(Cli, OnATerminalControlsAreMaskedAndLargeCopiesShowProgress)
{
    if (testing_windows_build()) {
        // Wine draws a console of its own on the terminal, with escapes of
        // its own: each name is there as the characters it spells (a
        // Shift-JIS stored path read in code page 932), masked where it
        // would reorder the line.
        locale_t japanese = newlocale(LC_ALL_MASK, "ja_JP.UTF-8", nullptr);
        if (japanese == nullptr)
            GTEST_SKIP() << "Wine takes code page 932 from the locale ja_JP.UTF-8, not installed here";
        freelocale(japanese);
        put("sj.zqa", pack({{"snd/\x83\x65\x83\x58\x83\x67.wav", "s"}, {"rlo\xe2\x80\xae" "vaw.exe", "r"}}));
        run_result shown = run({"sj.zqa"}, {.out = output_to::terminal, .locale = "ja_JP.UTF-8"});
        EXPECT_NE(shown.out.find("snd/\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88.wav"), std::string::npos)
            << shown.out;
        EXPECT_NE(shown.out.find("rlo?vaw.exe"), std::string::npos) << shown.out;
        return;
    }
    const std::string hostile = "\x1b]0;owned\x07/bell\x7f\x01\xe2\x80\xae.wav";
    // On a line of 80 columns (a new terminal's width is unknown), a
    // percentage after a name of 64 characters would wrap: none is drawn.
    const std::string wide(64, 'w');
    // The archive's own path is masked too (a wildcard brings in any name),
    // where the file system takes such a name (fusefat takes only ASCII).
    const bool odd_names = name_refusal(dir.path(), "t\xe2\x81\xa6.zqa").empty();
    const std::string archive = odd_names ? "t\xe2\x81\xa6.zqa" : "t.zqa";
    put(archive, builder::archive(3, {{index_end(3), 1, hostile}, {index_end(3), progress_threshold, "big.wav"},
                                      {index_end(3), progress_threshold, wide}},
                                  std::string(progress_threshold, 'P')));
    // (FAT and exFAT take no such name: there it fails.)
    const std::string refusal = name_refusal(dir.path(), "bell\x7f\x01\xe2\x80\xae.wav");
    const bool held = refusal.empty();
    const std::string verdict = held ? "]...done.\n" : "]...failed.\n";
    run_result shown = run({archive}, {.out = output_to::terminal});
    EXPECT_NE(shown.out.find("...  0%"), std::string::npos) << "a percentage while big.wav is copied";
    EXPECT_NE(shown.out.find("[" + wide + "]...done."), std::string::npos) << "nothing drawn between";
    // On a terminal that says it is 200 columns wide, the same line has room.
    run_result wide_terminal = run({archive}, {.out = output_to::terminal, .terminal_columns = 200});
    EXPECT_NE(wide_terminal.out.find("[" + wide + "]...  0%"), std::string::npos) << "a percentage after the long name";
    EXPECT_EQ(as_drawn(shown.out), std::string("3 sounds in ") + (odd_names ? "t?" : "t") + ".zqa.\nextract [?]0;owned?/bell???.wav" + verdict +
                                   "extract [big.wav]...done.\nextract [" + wide + "]...done.\n");
    // Into a file, the bytes are exactly the protocol.
    expect_run({archive}, printed().count(3, archive).sound(hostile, held, refusal).done("big.wav").done(wide));
    if (held) {
        EXPECT_EQ(get("bell\x7f\x01\xe2\x80\xae.wav"), "P");
    }
}

}  // namespace
