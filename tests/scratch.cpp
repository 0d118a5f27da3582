#include "scratch.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include <stdlib.h>  // mkdtemp

scratch_dir::scratch_dir()
{
    std::string pattern = (fs::temp_directory_path() / "snd_extractor_test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

scratch_dir::~scratch_dir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void write_file(const fs::path& path, const std::string& bytes)
{
    // A new file each time, not one written over: fusefat garbles a file
    // truncated and written again. (A link is written through.)
    std::error_code ignored;
    if (!fs::is_symlink(path, ignored))
        fs::remove(path, ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes(fs::file_size(path), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot read " + path.string());
    return bytes;
}

std::vector<std::string> list_dir(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
