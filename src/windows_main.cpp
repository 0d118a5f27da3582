// Where the program starts on Windows: the command line arrives in UTF-16,
// with no wildcard expanded, and goes on to the tool in UTF-8, with the
// wildcards of each last component expanded.
#include "snd_extractor.h"
#include "windows_text.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

namespace {

// Whether two UTF-16 units are one letter as the file system compares
// names: without regard to case, for every letter.
bool same_letter(wchar_t a, wchar_t b)
{
    return a == b || CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
}

// Whether `name` matches the wildcard `pattern`: '*' any run of
// characters, '?' one, letters without regard to case, as Windows names go.
bool matches(const wchar_t* pattern, const wchar_t* name)
{
    const wchar_t* star = nullptr;
    const wchar_t* resume = name;
    while (*name != L'\0') {
        if (*pattern == L'*') {
            star = pattern++;
            resume = name;
        } else if (*pattern != L'\0' && (*pattern == L'?' || same_letter(*pattern, *name))) {
            ++pattern;
            ++name;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == L'*')
        ++pattern;
    return *pattern == L'\0';
}

// The files an argument names: where its last component holds '*' or '?'
// (and only there: brackets are common in file names), every file of that
// folder whose long name matches, in order of name (an 8.3 alias never
// counts; nor a hidden file or a name starting with '.', unless the pattern
// starts with '.'), each as the listing spells it; else, or when none
// matches, the argument itself.
std::vector<std::wstring> expand_wildcards(const std::wstring& argument)
{
    std::size_t cut = argument.find_last_of(L"\\/:");
    std::wstring folder = cut == std::wstring::npos ? L"" : argument.substr(0, cut + 1);
    std::wstring pattern = argument.substr(folder.size());
    const bool dot_pattern = pattern.starts_with(L".");
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry;
    HANDLE search = pattern.find_first_of(L"*?") == std::wstring::npos
                        ? INVALID_HANDLE_VALUE
                        : FindFirstFileExW((folder + L"*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                           nullptr, 0);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            bool hidden = name.starts_with(L".") || (entry.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
            if (name != L"." && name != L".." && (dot_pattern || !hidden) && matches(pattern.c_str(), name.c_str()))
                found.push_back(folder + name);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    std::sort(found.begin(), found.end(),
              [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
    if (found.empty())
        found.push_back(argument);
    return found;
}

}  // namespace

// The C runtime expands no wildcards: wmain does, by long names only.
extern "C" {
int _dowildcard = 0;
}

extern "C" int wmain(int argc, wchar_t* wide_argv[]);

extern "C" int wmain(int argc, wchar_t* wide_argv[])
{
    std::vector<std::string> arguments;
    std::vector<char> listed;  // matched by a wildcard: to be opened as the listing spelled it
    for (int arg = 0; arg < argc; ++arg) {
        for (const std::wstring& path : arg == 0 ? std::vector<std::wstring>{wide_argv[0]} : expand_wildcards(wide_argv[arg])) {
            arguments.push_back(to_utf8(path));
            listed.push_back(path != wide_argv[arg]);
        }
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const std::unique_ptr<bool[]> flags(new bool[listed.size()]);
    std::copy(listed.begin(), listed.end(), flags.get());
    return snd_extractor(static_cast<int>(arguments.size()), argv.data(), flags.get());
}
