// The floors for the benchmark: what any extractor must do at the least. It
// reads a whole sound archive into memory with one read, then creates each
// entry's file with one open, one write and one close. No checks, no output.
// The safe floor writes each file unnamed (O_TMPFILE) and links it to its
// name once written, so that no partial file ever shows: one open, one
// write, one link and one close.
//
//   floor [--safe] ARCHIVE   (run in the directory to extract into)
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
    bool safe = argc == 3 && std::strcmp(argv[1], "--safe") == 0;
    if (argc != 2 + safe)
        return 2;
    int in = open(argv[1 + safe], O_RDONLY);
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
        int out = safe ? open(".", O_TMPFILE | O_WRONLY, 0666) : open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0 || write(out, &archive[le32(entry)], le32(entry + 4)) != static_cast<ssize_t>(le32(entry + 4)))
            return 1;
        if (safe && linkat(out, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) != 0) {
            std::string proc = "/proc/self/fd/" + std::to_string(out);
            if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
                return 1;
        }
        close(out);
    }
    return 0;
}
