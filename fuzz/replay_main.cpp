// Replays fuzz inputs without libFuzzer: every file named, or found in a
// directory named, goes once through the harness. Any broken invariant aborts.
//
//   fuzz_replay PATH...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char* argv[])
{
    std::vector<fs::path> inputs;
    for (int arg = 1; arg < argc; ++arg) {
        if (fs::is_directory(argv[arg])) {
            for (const auto& entry : fs::directory_iterator(argv[arg]))
                if (entry.is_regular_file() && entry.path().filename() != "stamp")
                    inputs.push_back(entry.path());
        } else {
            inputs.emplace_back(argv[arg]);
        }
    }
    std::fflush(stdout);
    if (std::freopen("/dev/null", "w", stdout) == nullptr)  // the walk's progress lines
        return 1;
    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::fprintf(stderr, "replayed %zu fuzz inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
