// Writes the fuzz seed corpus: small archives built byte by byte, one file
// each, covering the shapes the walk must handle.
//
//   make_seeds DIRECTORY
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "archive_builder.h"

using builder::archive;
using builder::index_end;
using builder::pack;

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIRECTORY\n");
        return 2;
    }
    const std::string several = pack({{"sfx/a.wav", "alpha"}, {"sfx/b.wav", "bravo!"}, {"c.wav", "charlie"}});
    const std::vector<std::pair<std::string, std::string>> seeds = {
        {"empty", builder::header(0)},
        {"one", pack({{"one.wav", "1"}})},
        {"several", several},
        {"duplicates", pack({{"x/same.wav", "first"}, {"y/same.wav", "second"}})},
        {"overlapping", archive(3, {{index_end(3), 6, "a.wav"}, {index_end(3) + 2, 6, "b.wav"}, {0, 24, "c.wav"}},
                                "0123456789")},
        {"truncated", several.substr(0, index_end(2) + 40)},
        {"negative_count", builder::header(0xFFFFFFFFu) + "junk"},
        {"huge_count", archive(0x7FFFFFFF, {{0, 4, "sig.wav"}, {20, 8, "idx.wav"}}, "tail")},
        {"bad_ranges", archive(4, {{0x7FFFFFFF, 1, "far.wav"}, {0x80000000u, 1, "neg.wav"},
                                   {0, 0xFFFFFFFFu, "huge.wav"}, {0x80000000u, 0, "empty.wav"}})},
        {"names", archive(6, {{0, 1, std::string(256, 'n')}, {0, 1, "dir/"}, {0, 1, ""}, {0, 1, ".."},
                              {0, 1, "a.zqa"}, {0, 1, std::string("nul.wav\0junk", 12)}})},
    };
    std::filesystem::create_directories(argv[1]);
    for (const auto& [name, bytes] : seeds) {
        std::ofstream out(std::filesystem::path(argv[1]) / name, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush())
            return 1;
    }
    return 0;
}
