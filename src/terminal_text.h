// Stored paths as a terminal may show them: terminals act on control
// characters, so that a hostile name could retitle the window, move the
// cursor or hide what was printed before it.
#pragma once

#include <cstddef>

// The length of the valid UTF-8 sequence of two to four bytes that starts
// at `text`, or 0 when none starts there (overlong forms, UTF-16 surrogates,
// code points past U+10FFFF, cut sequences).
std::size_t utf8_sequence_length(const unsigned char* text);

// The stored path as a terminal may show it, in `shown` (room for the path
// and its NUL; what is shown is as long or shorter): C0 controls, DEL,
// U+0080-U+009F in UTF-8 and stray bytes 0x80-0x9F become '?'; valid UTF-8
// stays, and so do other stray bytes.
void mask_controls(const char* entry_name, char* shown);

// How many columns `text` may take on a terminal, at the most: one for each
// ASCII character, two for any other character or stray byte (wide CJK
// characters take two).
std::size_t display_columns(const char* text);
