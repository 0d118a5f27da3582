// Scratch directories and whole files, for the tests and the fuzz target
// alike (neither GoogleTest nor the tool under test is needed here).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

void write_file(const fs::path& path, const std::string& bytes);
std::string read_file(const fs::path& path);
// Names of the entries in `dir`, sorted.
std::vector<std::string> list_dir(const fs::path& dir);
