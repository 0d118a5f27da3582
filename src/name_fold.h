// Names as a folder may compare them: folders that fold case (FAT, exFAT,
// NTFS on Windows, casefold ext4, SMB shares, macOS) take "Pack.zqa",
// "PACK.ZQA" and "pack.zqa" for one name, some also "e\u0301" for "\u00e9", and
// kernel vfat and Windows drop trailing dots and spaces. Includes nothing of
// the tool's own but terminal_text.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A 64-bit hash of the name `name` (UTF-8, or stray bytes where it is not)
// once folded at least as broadly as any file system folds: two names that a
// folder takes for one always hash alike. Folded: Unicode full case folding
// over canonical decomposition, after the simple uppercase mapping, with
// combining marks dropped, every CJK ideograph one, every stray byte one,
// and trailing dots and spaces dropped. Broader than any folder, never
// narrower: two names that hash alike may still be two names.
std::uint64_t folded_hash(const char* name);

// Whether `name` is shaped like a short alias that FAT, exFAT's Windows
// drivers and NTFS give a long name ("MYSOUN~1.ZQA" for "My Sounds
// Pack.zqa"): at most 8 characters, a '~' and a digit among them, then at
// most one dot and 3 more. Such a name may be another spelling of any file.
bool is_short_alias(const char* name);

// The folded names of the run's archives: what no sound may take the place
// of, kept by hash (a collision refuses a sound and loses nothing), 8 bytes
// a name. Filled before the walk, by add() (which may throw std::bad_alloc)
// and then seal(); until sealed, every name may spell one of them.
class folded_names {
public:
    void add(const char* name) { hashes_.push_back(folded_hash(name)); }
    void seal();
    // Whether a taken `name` may be another spelling of one of them: always
    // for a short alias.
    bool may_spell(const char* name) const;

private:
    std::vector<std::uint64_t> hashes_;  // sorted once sealed
    bool sealed_ = false;
};
