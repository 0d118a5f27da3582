// Names as a terminal may show them: terminals act on control characters,
// so that a hostile name could retitle the window, move the cursor or hide
// what was printed before it, and bidirectional and invisible characters
// reorder or hide the text around them.
#pragma once

#include <cstddef>

// The length of the valid UTF-8 sequence of two to four bytes that starts
// at `text`, or 0 when none starts there (overlong forms, UTF-16 surrogates,
// code points past U+10FFFF, cut sequences).
std::size_t utf8_sequence_length(const unsigned char* text);

// The code point of the valid sequence of `length` bytes at `text` (1 for
// ASCII, else as utf8_sequence_length answered).
char32_t utf8_code_point(const unsigned char* text, std::size_t length);

// Whether a terminal must not be handed the code point `c`: a control (Cc),
// a bidirectional control (Bidi_Control) or a character that shows nothing
// (Default_Ignorable_Code_Point).
bool is_masked(char32_t c);

// The name (UTF-8, or stray bytes where it is not) as a terminal may show
// it, in `shown`, as many whole characters as fit in `room` bytes with a
// NUL: each masked character becomes one '?', and so do stray bytes
// 0x80-0x9F (C1 controls in Latin-1); other characters stay, and so do other
// stray bytes. Returns how many bytes of `name` it took.
std::size_t mask_controls(const char* name, char* shown, std::size_t room);

// How many columns `text` may take on a terminal, at the most: one for each
// ASCII character, two for any other character or stray byte (wide CJK
// characters take two).
std::size_t display_columns(const char* text);
