// Stored paths as a terminal may show them.
#include "terminal_text.h"

// The length of the valid UTF-8 sequence of two to four bytes that starts
// at `text`, or 0 when none starts there.
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

// The stored path as a terminal may show it, in `shown` (as long as the
// path, or shorter): C0 controls, DEL, U+0080-U+009F in UTF-8 and stray bytes
// 0x80-0x9F become '?', since terminals act on them; valid UTF-8 stays.
void mask_controls(const char* entry_name, char* shown)
{
    const auto* text = reinterpret_cast<const unsigned char*>(entry_name);
    std::size_t out = 0;
    for (std::size_t at = 0; text[at] != '\0';) {
        std::size_t length = text[at] < 0x80 ? 1 : utf8_sequence_length(text + at);
        bool control = text[at] < 0x20 || text[at] == 0x7F || (length == 0 && text[at] <= 0x9F) ||
                       (text[at] == 0xC2 && length == 2 && text[at + 1] <= 0x9F);
        if (control || length == 0) {
            shown[out++] = control ? '?' : entry_name[at];
            at += control && length > 0 ? length : 1;
            continue;
        }
        for (std::size_t end = at + length; at < end;)
            shown[out++] = entry_name[at++];
    }
    shown[out] = '\0';
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
