// File names as the systems take them.
#include "names.h"

#include <cctype>
#include <cstring>
#include <initializer_list>

const char* last_component(const char* path, const char* separators)
{
    const char* last = path;
    for (const char* at = path; *at != '\0'; ++at)
        if (std::strchr(separators, *at) != nullptr)
            last = at + 1;
    return last;
}

bool is_linux_plain_name(const char* name)
{
    return *name != '\0' && std::strchr(name, '/') == nullptr && std::strlen(name) <= 255;
}

namespace {

// The stem is the part before the first dot, with trailing spaces removed.
// On the stack: it runs once a sound, where nothing is allocated.
bool is_device_name(const char* name)
{
    std::size_t length = std::strcspn(name, ".");
    while (length > 0 && name[length - 1] == ' ')
        --length;
    char stem[8] = {};  // the longest device name is 7 bytes: CONOUT$
    if (length >= sizeof stem)
        return false;
    for (std::size_t at = 0; at < length; ++at)
        stem[at] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[at])));
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (std::strcmp(stem, device) == 0)
            return true;
    if (std::strncmp(stem, "COM", 3) != 0 && std::strncmp(stem, "LPT", 3) != 0)
        return false;
    // 1-9, and the superscripts 1-3 in UTF-8 or in the ANSI code page.
    for (const char* digit : {"1", "2", "3", "4", "5", "6", "7", "8", "9", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3",
                              "\xB9", "\xB2", "\xB3"})
        if (std::strcmp(stem + 3, digit) == 0)
            return true;
    return false;
}

// How many UTF-16 units the UTF-8 `name` takes: one for each character, two
// past U+FFFF.
std::size_t utf16_length(const char* name)
{
    std::size_t units = 0;
    for (const auto* at = reinterpret_cast<const unsigned char*>(name); *at != '\0'; ++at)
        units += (*at & 0xC0) != 0x80 ? (*at >= 0xF0 ? 2 : 1) : 0;
    return units;
}

}  // namespace

bool is_windows_plain_name(const char* name)
{
    std::size_t length = std::strlen(name);
    if (length == 0 || utf16_length(name) > 255 || std::strpbrk(name, ":/\\") != nullptr ||
        name[length - 1] == '.' || name[length - 1] == ' ')
        return false;
    for (std::size_t at = 0; at < length; ++at)
        if (static_cast<unsigned char>(name[at]) < 0x20 || name[at] == 0x7F)
            return false;
    return !is_device_name(name);
}
