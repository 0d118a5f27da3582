// File names as the systems take them: the last component of a path, and
// whether a name is a plain file of the working directory. Both systems'
// rules are pure functions, compiled everywhere, so that the tests and the
// fuzzer reach the Windows rules on Linux too. Includes the standard
// library only.
#pragma once

#include <cstddef>

#ifdef _WIN32
inline constexpr bool on_windows = true;
#else
inline constexpr bool on_windows = false;
#endif

// What separates a stored path's components: '/', and on Windows '\' too
// (each a character as the path is read: see split_file_name).
inline constexpr const char* stored_separators = on_windows ? "/\\" : "/";

// What separates an archive path's components: '/', and on Windows '\' and
// a drive's ':' too.
inline constexpr const char* path_separators = on_windows ? "/\\:" : "/";

// What follows the last of `separators` in `path`, or the whole path when
// it has none: a view into `path`.
const char* last_component(const char* path, const char* separators);

// Linux: not empty, no '/', and at most 255 bytes (NAME_MAX).
bool is_linux_plain_name(const char* name);

// Windows, for a name in UTF-8: not empty, no ':' (a stream or a drive), '/' or '\' (a
// folder), no trailing dot or space (dropped, so that the file would get
// another name), no control character, no device name whatever extension
// or trailing spaces follow it ("nul .wav" is NUL), and at most 255 UTF-16
// units.
bool is_windows_plain_name(const char* name);

// Whether the system takes `name` as a plain file in the working directory.
inline bool is_plain_name(const char* name)
{
    return on_windows ? is_windows_plain_name(name) : is_linux_plain_name(name);
}

// The room an output name takes: on Windows a stored path read in a
// double-byte code page is carried on in UTF-8, up to three bytes for each;
// Linux carries the bytes on as they are, and needs none (the stack may be
// 16 KiB).
inline constexpr std::size_t output_name_size = on_windows ? 3 * 256 + 1 : 1;
