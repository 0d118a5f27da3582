// Fuzz target: the input is the bytes of an archive. The walk runs on it in a
// private directory, and then what it left behind is checked against an
// independent reading of the same bytes:
//   - nothing appears outside the extraction directory;
//   - the archive itself is unchanged;
//   - the files left are exactly the entries that could be extracted, each
//     holding the bytes of the last such entry of its name;
//   - no temporary file remains.
// Any broken invariant aborts, which libFuzzer reports as a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "archive_builder.h"
#include "names.h"
#include "scratch.h"
#include "sound_archive.h"

namespace {

char archive_name[] = "a.zqa";
constexpr std::size_t name_max = 255;  // the longest file name of the usual file systems

void check(bool holds, const std::string& what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
        std::abort();
    }
}

// What a correct walk leaves: output name -> bytes.
std::map<std::string, std::string> expected_files(std::string_view archive)
{
    std::map<std::string, std::string> files;
    using builder::header_size, builder::index_entry_size, builder::name_field_size;
    if (archive.size() < header_size)
        return files;
    auto entry_count = static_cast<std::int32_t>(builder::get_le32(archive, header_size - 4));
    for (std::int64_t index = 0; index < entry_count; ++index) {
        std::size_t at = header_size + index_entry_size * static_cast<std::size_t>(index);
        if (at + index_entry_size > archive.size())
            break;
        auto data_offset = static_cast<std::int32_t>(builder::get_le32(archive, at));
        std::uint32_t data_size = builder::get_le32(archive, at + 4);
        std::string_view field = archive.substr(at + 8, name_field_size);
        std::string name(field.substr(0, field.find('\0')));
        std::string output = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
        bool readable = data_size == 0 ||
                        (data_offset >= 0 && std::uint64_t(data_offset) + data_size <= archive.size());
        // The Windows rules, reached here too: a name they take has no
        // separator of that system.
        check(!is_windows_plain_name(output.c_str()) || last_component(output.c_str(), "/\\:") == output.c_str(),
              "a plain Windows name is its own last component: " + output);
        bool creatable = !output.empty() && output != "." && output != ".." && output.size() <= name_max &&
                         output != archive_name;
        if (readable && creatable)
            files[output] = data_size == 0 ? "" : std::string(archive.substr(std::size_t(data_offset), data_size));
    }
    return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);  // libFuzzer's entry

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static scratch_dir base;
    static const fs::path home = fs::current_path();  // the fuzzer's own relative paths
    const fs::path run = base / "run";
    const std::string archive(reinterpret_cast<const char*>(data), size);

    fs::create_directory(run);
    check(chdir(run.c_str()) == 0, "chdir into the run directory");
    write_file(archive_name, archive);
    {
        char* paths[] = {archive_name};
        extract_archives({paths});
    }
    std::fflush(stdout);
    check(chdir(home.c_str()) == 0, "chdir back");

    for (const auto& entry : fs::directory_iterator(base.path()))
        check(entry.path().filename() == "run", "nothing outside the run directory: " + entry.path().string());
    std::map<std::string, std::string> expected = expected_files(archive);
    std::size_t outputs = 0;
    for (const auto& entry : fs::directory_iterator(run)) {
        std::string name = entry.path().filename().string();
        check(entry.is_regular_file() && !entry.is_symlink(), "only regular files: " + name);
        if (name == archive_name) {
            check(read_file(entry.path()) == archive, "the archive is unchanged");
            continue;
        }
        auto wanted = expected.find(name);
        check(wanted != expected.end(), "a file of an extractable entry, not a leftover: " + name);
        check(read_file(entry.path()) == wanted->second, "the last entry's exact bytes in " + name);
        ++outputs;
    }
    check(outputs == expected.size(), "every extractable entry has its file");
    fs::remove_all(run);
    return 0;
}
