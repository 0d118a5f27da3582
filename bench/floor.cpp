// The floor for the benchmark: what any extractor must do at the least. It
// reads a whole sound archive into memory with one read, then creates each
// entry's file with one open, one write and one close. No checks, no output.
//
//   floor ARCHIVE   (run in the directory to extract into)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static std::uint32_t le32(const char* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);  // the benchmark runs on little-endian machines
    return v;
}

int main(int argc, char* argv[])
{
    if (argc != 2)
        return 2;
    int in = open(argv[1], O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0)
        return 1;
    std::vector<char> archive(static_cast<std::size_t>(st.st_size));
    if (read(in, archive.data(), archive.size()) != static_cast<ssize_t>(archive.size()))
        return 1;
    close(in);
    std::uint32_t count = le32(&archive[16]);
    for (std::uint32_t i = 0; i < count; ++i) {
        const char* entry = &archive[20 + 264 * std::size_t{i}];
        std::string name(entry + 8, strnlen(entry + 8, 256));
        std::size_t slash = name.rfind('/');
        if (slash != std::string::npos)
            name.erase(0, slash + 1);
        int out = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0 || write(out, &archive[le32(entry)], le32(entry + 4)) != static_cast<ssize_t>(le32(entry + 4)))
            return 1;
        close(out);
    }
    return 0;
}
