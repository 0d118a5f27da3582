// What the tool writes for people to read: names as a terminal may show
// them, and the lines on standard error. Written once for both systems over
// the port's terminal calls; includes platform.h and terminal_text.h only.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "platform.h"

// Writes the name or path `name` to `stream` (standard output or error):
// on a terminal (a console on Windows) as the characters it spells, each one
// that a terminal acts on or that hides or reorders text shown as '?'
// (mask_controls; on Windows a name that is not UTF-8 is read in the ANSI
// code page first, as file names are); elsewhere as the bytes it is.
// Returns how many columns it takes on a terminal, at the most; else 0.
std::size_t write_name(std::FILE* stream, const char* name);

// A line on standard error, after everything that was printed before it:
// `before`, the name `name` as names are shown, `after` and `more` (the
// tool's own text, or one of its hidden names) and a full stop.
void report(const char* before, const char* name, const char* after = "", const char* more = "");

// The line that follows a sound's "failed.": "failed to extract PATH:
// REASON.", PATH the stored path as the progress line shows it, REASON the
// tool's own text for `why`, or the system's words for its error.
void report_failure(const char* stored_path, const cause& why);

// What a run came to, for the line that closes a window of its own: the
// "done." verdicts, and the "failed." ones with the archives that could not
// be opened or read.
struct run_tally {
    long long done = 0;
    long long failed = 0;
};

// Whether the run waits for a key before its window closes: only where the
// console was made for it alone, its streams are that console, it has a
// window, and the shell started it (a drop, a double-click, a shortcut).
// Never from cmd, PowerShell, a terminal's tab, start, a script, a task, a
// service, ssh, CI, or with a stream redirected.
bool waits_for_key(const console_facts& facts);

// The line that closes such a window: "N done, M failed; the sounds are in
// FOLDER. Press a key to close this window."
std::string closing_line(const run_tally& tally, const std::string& folder);
