// Names as a terminal may show them.
#include "terminal_text.h"

std::size_t utf8_sequence_length(const unsigned char* text)
{
    unsigned char lead = text[0];
    std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4                                   ? 4
                                                                                          : 0;
    for (std::size_t at = 1; at < length; ++at)
        if ((text[at] & 0xC0) != 0x80)  // a NUL ends the scan here too
            return 0;
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && text[1] < 0xA0) || (lead == 0xED && text[1] >= 0xA0) || (lead == 0xF0 && text[1] < 0x90) ||
        (lead == 0xF4 && text[1] >= 0x90))
        return 0;
    return length;
}

char32_t utf8_code_point(const unsigned char* text, std::size_t length)
{
    if (length == 1)
        return text[0];
    char32_t c = text[0] & (0xFF >> (length + 1));
    for (std::size_t at = 1; at < length; ++at)
        c = c << 6 | (text[at] & 0x3F);
    return c;
}

bool is_masked(char32_t c)
{
    // From the Unicode Character Database, version 15.1: the general
    // category Cc (UnicodeData.txt), and Default_Ignorable_Code_Point
    // (DerivedCoreProperties.txt), which holds every Bidi_Control code point
    // of PropList.txt (U+061C, U+200E-U+200F, U+202A-U+202E, U+2066-U+2069).
    static constexpr char32_t ranges[][2] = {
        {0x0000, 0x001F},   {0x007F, 0x009F},   {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x061C, 0x061C},
        {0x115F, 0x1160},   {0x17B4, 0x17B5},   {0x180B, 0x180F},   {0x200B, 0x200F},   {0x202A, 0x202E},
        {0x2060, 0x206F},   {0x3164, 0x3164},   {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},
        {0xFFF0, 0xFFF8},   {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
    };
    for (const auto& range : ranges)
        if (c >= range[0] && c <= range[1])
            return true;
    return false;
}

std::size_t mask_controls(const char* name, char* shown, std::size_t room)
{
    const auto* text = reinterpret_cast<const unsigned char*>(name);
    std::size_t out = 0, at = 0;
    while (text[at] != '\0') {
        std::size_t length = text[at] < 0x80 ? 1 : utf8_sequence_length(text + at);
        const bool masked = length == 0 ? text[at] <= 0x9F : is_masked(utf8_code_point(text + at, length));
        length = length > 0 ? length : 1;  // a stray byte
        if (out + (masked ? 1 : length) >= room)
            break;
        if (masked)
            shown[out++] = '?';
        for (std::size_t end = at + length; at < end; ++at)
            if (!masked)
                shown[out++] = name[at];
    }
    shown[out] = '\0';
    return at;
}

std::size_t display_columns(const char* text)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t columns = 0;
    for (std::size_t at = 0; bytes[at] != '\0';) {
        std::size_t length = bytes[at] < 0x80 ? 1 : utf8_sequence_length(bytes + at);
        columns += length == 1 ? 1 : 2;
        at += length > 0 ? length : 1;
    }
    return columns;
}
