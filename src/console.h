// What the tool writes for people to read: names as a terminal may show
// them, and the lines on standard error. Written once for both systems over
// the port's terminal calls; includes platform.h and terminal_text.h only.
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform.h"

// Writes the name or path `name` to `stream` (standard output or error):
// on a terminal (a console on Windows) as the characters it spells, each one
// that a terminal acts on or that hides or reorders text shown as '?'
// (mask_controls; on Windows a name that is not UTF-8 is read in the ANSI
// code page first, as file names are); elsewhere as the bytes it is.
// Returns how many columns it takes on a terminal, at the most; else 0.
std::size_t write_name(std::FILE* stream, const char* name);

// A line on standard error, after everything that was printed before it:
// `before`, the name `name` as names are shown, `after` (the tool's own
// text) and a full stop.
void report(const char* before, const char* name, const char* after = "");

// The line that follows a sound's "failed.": "failed to extract PATH:
// REASON.", PATH the stored path as the progress line shows it, REASON the
// tool's own text for `why`, or the system's words for its error.
void report_failure(const char* stored_path, const cause& why);
