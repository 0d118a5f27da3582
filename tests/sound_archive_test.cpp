// The archive walk's pieces, called directly on real files.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

#include "archive_builder.h"
#include "console.h"
#include "name_fold.h"
#include "names.h"
#include "sound_archive.h"
#include "terminal_text.h"
#include "test_support.h"

// Every allocation of this program, counted: the name rules run once a
// sound, where the tool allocates nothing.
std::atomic<long> allocations{0};

void* operator new(std::size_t size)
{
    ++allocations;
    if (void* bytes = std::malloc(size > 0 ? size : 1))
        return bytes;
    throw std::bad_alloc();
}

// GCC takes the free below for one that mismatches the new above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* bytes) noexcept
{
    std::free(bytes);
}
#pragma GCC diagnostic pop

void operator delete(void* bytes, std::size_t) noexcept
{
    ::operator delete(bytes);
}

namespace {

TEST(SplitFileName, TakesThePartAfterTheLastSlash)
{
    const std::pair<const char*, const char*> cases[] = {
        {"sfx/ui/click.wav", "click.wav"},
        {"/rooted.wav", "rooted.wav"},
        {"plain.wav", "plain.wav"},        // no '/': the whole name
        {"", ""},
        {"dir/", ""},                      // ends in '/': empty
        {"win\\path\\x.wav", "win\\path\\x.wav"},  // a backslash is a plain byte
        {"a/b\\c.wav", "b\\c.wav"},
        {"a//..", ".."},
    };
    char output_name[output_name_size];
    for (const auto& [name, expected] : cases)
        EXPECT_STREQ(split_file_name(name, output_name), expected) << "for \"" << name << "\"";
    const char* name = "dir/x.wav";
    EXPECT_EQ(split_file_name(name, output_name), name + 4) << "a view into the name, not a copy";
}

// Each system's rules, tested here whatever the build is for.
TEST(PlainNames, FollowEachSystemsRules)
{
    const std::string longest(255, 'n'), astral = "\xf0\x9f\x94\x8a";  // two UTF-16 units
    std::string wide_longest;
    for (int i = 0; i < 127; ++i)
        wide_longest += astral;
    struct row {
        std::string name;
        bool linux_plain, windows_plain;
    };
    const row rows[] = {
        {"", false, false},                {"plain.wav", true, true},         {"dir/x.wav", false, false},
        {"dir\\x.wav", true, false},
        {"c:evil.wav", true, false},       {"x.wav:stream", true, false},     {"CON", true, false},
        {"con.wav", true, false},          {"Lpt1.txt", true, false},         {"COM9", true, false},
        {"aux.tar.gz", true, false},       {"conout$.wav", true, false},      {"dot.", true, false},
        {"space ", true, false},           {"nul .wav", true, false},         {"NUL  .txt", true, false},
        {"COM\xC2\xB9.wav", true, false},  {"lpt\xC2\xB3", true, false},      {"del\x7f.wav", true, false},
        {"tab\t.wav", true, false},        {"CONSOLE.wav", true, true},       {"com10.wav", true, true},
        {"nul_not.wav", true, true},       {"COM\xC2\xB9\xC2\xB9.wav", true, true},
        {longest, true, true},             {longest + "n", false, false},
        {wide_longest + "n", false, true},  // 509 bytes, 255 units
        {wide_longest + astral, false, false},
    };
    folded_names archives;  // the run's archive names, which each sound's name is asked of
    archives.add("Pack.zqa");
    archives.seal();
    for (const auto& [name, linux_plain, windows_plain] : rows) {
        const long before = allocations;
        const bool linux_says = is_linux_plain_name(name.c_str()), windows_says = is_windows_plain_name(name.c_str());
        static_cast<void>(archives.may_spell(name.c_str()));
        EXPECT_EQ(allocations - before, 0) << name << ": the rules run once a sound, where nothing is allocated";
        EXPECT_EQ(linux_says, linux_plain) << name;
        EXPECT_EQ(windows_says, windows_plain) << name;
    }
    // Windows' separators, stored and on the command line.
    EXPECT_STREQ(last_component("a/b\\c.wav", "/\\"), "c.wav");
    EXPECT_STREQ(last_component("C:a.zqa", "/\\:"), "a.zqa");
    EXPECT_STREQ(last_component("dir\\", "/\\"), "");
}

// A run waits for a key only in a console of its own that the shell made.
TEST(WaitForKey, OnlyInAWindowOfItsOwnThatTheShellOpened)
{
    struct row {
        const char* what;
        console_facts facts;
        bool waits;
    };
    const row rows[] = {
        {"a console of its own, from Explorer", {1, true, true, true, true}, true},
        {"the same from cmd's start", {1, true, true, true, false}, false},
        {"a shared console (cmd, PowerShell, a terminal's tab)", {2, true, true, true, true}, false},
        {"output redirected", {1, true, false, true, true}, false},
        {"input redirected", {1, false, true, true, true}, false},
        {"a console without a window (a task, a service)", {1, true, true, false, true}, false},
        {"no console", {0, false, false, false, true}, false},
    };
    for (const auto& [what, facts, waits] : rows)
        EXPECT_EQ(waits_for_key(facts), waits) << what;
    EXPECT_EQ(closing_line({3, 2}, "C:\\Sounds"), "3 done, 2 failed; the sounds are in C:\\Sounds. Press a key to close this window.");
}

TEST(MaskControls, ShowsLettersAndMasksWhatATerminalWouldActOn)
{
    const std::string longest(256, 'm');
    const std::pair<std::string, std::string> cases[] = {
        {"plain.wav", "plain.wav"},
        {"\x1b]0;owned\x07/bell\x01\x1f.wav", "?]0;owned?/bell??.wav"},  // C0
        {"del\x7f.wav", "del?.wav"},
        {"csi\x9b" "1m\x80\x9f.wav", "csi?1m??.wav"},               // C1 as raw bytes
        {"csi\xc2\x9b" "2m\xc2\x80.wav", "csi?2m?.wav"},            // C1 in UTF-8: one '?' each
        {"nbsp\xc2\xa0\xc3\xa9.wav", "nbsp\xc2\xa0\xc3\xa9.wav"},     // U+00A0 and after stay
        {"\xc0\x9b\xe0\x82\x9b.wav", "\xc0?\xe0??.wav"},            // overlong forms: stray bytes
        {"\xed\xa0\x80.wav", "\xed\xa0?.wav"},                       // a UTF-16 surrogate
        {"\xf4\x90\x80\x80.wav", "\xf4???.wav"},                     // past U+10FFFF
        {"\xe5\x8a\xb9\xf0\x9f\x94\x8a.wav", "\xe5\x8a\xb9\xf0\x9f\x94\x8a.wav"},  // 3 and 4 bytes
        {"\xe0\xb8\x81\xe0\xa4\x85.wav", "\xe0\xb8\x81\xe0\xa4\x85.wav"},              // Thai, Devanagari: lead 0xE0
        {"cut\xe5\x8a", "cut\xe5?"},                                  // a sequence cut by the end
        {"latin1 caf\xe9.wav", "latin1 caf\xe9.wav"},                  // not UTF-8, not a control
        {"\x83\x65\x83\x58\x83\x67.wav", "?e?X?g.wav"},                   // Shift-JIS bytes: stray here
        {"rlo\xe2\x80\xae" "vaw.exe", "rlo?vaw.exe"},                     // bidirectional controls
        {"\xe2\x81\xa6iso\xe2\x81\xa9\xd8\x9c", "?iso??"},
        {"zw\xe2\x80\x8bsp\xef\xbb\xbf\xc2\xad", "zw?sp??"},              // invisible: ZWSP, BOM, soft hyphen
        {"vs\xef\xb8\x8f\xf3\xa0\x84\x80\xe2\x80\x8a", "vs??\xe2\x80\x8a"},  // variation selectors; a hair space stays
        {longest, longest},                                            // a full field
    };
    for (const auto& [name, expected] : cases) {
        char shown[entry_name_width + 1];
        mask_controls(name.c_str(), shown, sizeof shown);
        EXPECT_EQ(std::string(shown), expected) << "for \"" << name << "\"";
    }
}

// Names that some folder takes for one fold alike; others do not.
TEST(FoldedHash, FoldsAsBroadlyAsAnyFolder)
{
    const std::pair<const char*, const char*> alike[] = {
        {"Pack.zqa", "PACK.ZQA"},
        {"\xc3\xa9t\xc3\xa9.zqa", "E\xcc\x81TE\xcc\x81.ZQA"},  // precomposed, and e + U+0301
        {"stra\xc3\x9f" "e", "STRASSE"},                          // full folding: ß is ss
        {"\xc4\xb1.wav", "I.wav"},                                // dotless i meets I (upcase tables)
        {"\xc4\xb0.wav", "i.wav"},                                // dotted I meets i
        {"\xe2\x84\xaa.zqa", "k.zqa"},                           // the Kelvin sign
        {"\xea\xb0\x80", "\xe1\x84\x80\xe1\x85\xa1"},          // a Hangul syllable and its jamo
        {"\xef\xa4\x80", "\xe8\xb1\x88"},                         // a CJK compatibility ideograph
        {"\xce\xa3\xce\x91.zqa", "\xcf\x83\xce\xb1.zqa"},       // Greek
        {"\xd0\x90\xd0\x91.zqa", "\xd0\xb0\xd0\xb1.zqa"},       // Cyrillic
        {"Pack.zqa. .", "pack.zqa"},                                // trailing dots and spaces go
        {"\xe9.zqa", "\xc9.zqa"},                                   // stray bytes all alike
        {"\x80.zqa", "\xff.zqa"},                                   // the lowest one too
        {"\xf0\xa0\x80\x80", "\xe4\xb8\x80"},                        // every ideograph, U+20000 too
    };
    for (const auto& [a, b] : alike)
        EXPECT_EQ(folded_hash(a), folded_hash(b)) << a << " and " << b;
    const std::pair<const char*, const char*> apart[] = {
        {"a.zqa", "b.zqa"}, {"pack.zqa", "pack.zq"}, {".pack", "pack"}, {"\xce\xb1", "a"},
        {"\xe4\xb7\x80", "\xe4\xb8\x80"}};  // U+4DC0, a hexagram, is no ideograph
    for (const auto& [a, b] : apart)
        EXPECT_NE(folded_hash(a), folded_hash(b)) << a << " and " << b;
    for (const char* alias : {"MYSOUN~1.ZQA", "A~1", "AB12~9.W"})
        EXPECT_TRUE(is_short_alias(alias)) << alias;
    for (const char* name : {"my~1sounds.zqa", "A~1.ZQAX", "A~B.ZQA", "A~1.B.C", "~.ZQA"})
        EXPECT_FALSE(is_short_alias(name)) << name;
}

TEST(DisplayColumns, CountsTwoForEveryCharacterBeyondAscii)
{
    EXPECT_EQ(display_columns("plain.wav"), 9u);
    EXPECT_EQ(display_columns("\xe5\x8a\xb9\xf0\x9f\x94\x8a.wav"), 8u);  // three and four bytes, two columns each
    EXPECT_EQ(display_columns("caf\xe9.wav"), 9u);                           // a stray byte: two, to be safe
}

// extract_wav works in the current directory: each test runs in its own.
class ExtractWav : public testing::Test {
protected:
    void SetUp() override
    {
        previous_ = fs::current_path();
        fs::current_path(dir_.path());
        // 20 bytes of header, then "HELLO" at 20 and "WORLD!" at 25.
        write_file("a.zqa", builder::header(2) + "HELLOWORLD!");
        archive_.reset(std::fopen("a.zqa", "rb"));
    }
    void TearDown() override { fs::current_path(previous_); }

    // `archives`: the run's other archives, by path.
    int extract(const char* name, std::int32_t offset, std::uint32_t size, std::span<char* const> archives = {})
    {
        run_archives run;
        std::vector<archive_handle> held;
        run.find({archives}, &held);
        for (archive_handle handle : held)
            release_archive(handle);
        archive_source archive{archive_.get(), -1, {}, &run, nullptr};
        identify_stream(archive_.get(), &archive.identity, &archive.size);
        copy_buffer buffer(bytes_);
        archive_reading reading{&buffer};
        return extract_wav(name, archive, reading, offset, size);
    }

    scratch_dir dir_;
    fs::path previous_;
    file_ptr archive_;
    char bytes_[16];  // any size serves: the kernel copies here
};

TEST_F(ExtractWav, NeverReplacesTheArchiveOrAListedFile)
{
    write_file("other.zqa", "another archive");
    fs::create_hard_link("a.zqa", "hard.wav");
    fs::create_symlink("other.zqa", "soft.wav");
    const std::string archive_bytes = read_file("a.zqa");

    EXPECT_EQ(extract("a.zqa", 20, 5), -1) << "the archive being read, though no list names it";
    EXPECT_EQ(extract("hard.wav", 20, 5), -1);
    char other[] = "other.zqa";
    char* listed[] = {other};
    EXPECT_EQ(extract("other.zqa", 20, 5, listed), -1);
    EXPECT_EQ(extract("soft.wav", 20, 5, listed), -1);

    EXPECT_EQ(read_file("a.zqa"), archive_bytes);
    EXPECT_EQ(read_file("other.zqa"), "another archive");
    EXPECT_TRUE(fs::is_symlink("soft.wav"));
}

// What the run came to, for the line that closes a window of its own on
// Windows: each sound's verdict, and each archive it could not open or read
// to the end of its index (a.zqa's index is missing).
TEST_F(ExtractWav, TheRunTalliesVerdictsAndUnreadArchives)
{
    write_file("b.zqa", builder::archive(2, {{builder::index_end(2), 2, "ok.wav"}, {builder::index_end(2), 9, "past.wav"}}) +
                            "ok");
    char a[] = "a.zqa", b[] = "b.zqa", missing[] = "missing.zqa";
    char* paths[] = {a, b, missing, b};
    const run_tally tally = extract_archives({paths});
    EXPECT_EQ(tally.done, 2);
    EXPECT_EQ(tally.failed, 4);
    EXPECT_EQ(read_file("ok.wav"), "ok");
}

TEST_F(ExtractWav, NewAndReplacedFilesGetTheOrdinaryMode)
{
    mode_t mask = umask(027);
    write_file("old.wav", "old");
    fs::permissions("old.wav", fs::perms::owner_read);
    EXPECT_EQ(extract("new.wav", 20, 5), 0);
    EXPECT_EQ(extract("old.wav", 20, 5), 0);
    umask(mask);
    struct stat status;
    ASSERT_EQ(stat("new.wav", &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    ASSERT_EQ(stat("old.wav", &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
}

}  // namespace
