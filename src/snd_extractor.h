// The program's entry, above every other room: it includes the walk
// (sound_archive.h), and nothing includes it but the Windows wmain.
#pragma once

// The program, run with its arguments as byte strings: main calls it, or on
// Windows wmain (windows_main.cpp), which hands them over in UTF-8 with
// wildcards expanded, and in `listed` for each whether a wildcard's listing
// spelled it (nullptr: none did).
int snd_extractor(int argc, char* argv[], const bool* listed = nullptr);
