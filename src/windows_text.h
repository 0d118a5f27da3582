// The Windows port's text conversions, for its own files only
// (platform_windows.cpp defines them, windows_main.cpp uses them too).
#pragma once

#include <string>

// A name for the system's Unicode calls: UTF-8 where it is valid, else the
// ANSI code page.
std::wstring to_wide(const char* text);

// `text` in UTF-8.
std::string to_utf8(const std::wstring& text);
