// Stored paths as a terminal may show them: terminals act on control
// characters, so that a hostile name could retitle the window, move the
// cursor or hide what was printed before it.
#pragma once

#include <cstddef>

#include "sound_archive.h"

// The length of the valid UTF-8 sequence of two to four bytes that starts
// at `text`, or 0 when none starts there (overlong forms, UTF-16 surrogates,
// code points past U+10FFFF, cut sequences).
std::size_t utf8_sequence_length(const unsigned char* text);

// The stored path as a terminal may show it, in `shown` (as long as the
// path, or shorter): C0 controls, DEL, U+0080-U+009F in UTF-8 and stray bytes
// 0x80-0x9F become '?'; valid UTF-8 stays, and so do other stray bytes.
void mask_controls(const char* entry_name, char (&shown)[entry_name_width + 1]);
