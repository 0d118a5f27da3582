// A sound's new file, from its making to its name: whole at its name, or
// nowhere. The calling sequence, its outcomes and the stages are drawn here
// once; each system has one body (platform_linux.cpp, platform_windows.cpp)
// and its own state (output_file_linux.h, output_file_windows.h). Includes
// platform.h and name_fold.h; the walk includes it.
//
// Calling sequence:
//
//   output_file file;                 makes it: descriptor() < 0, why() says why
//   write(file.descriptor(), ...);    the sound's bytes
//   file.name(name, nullptr);         named: done; taken: something is there
//   file.name(name, &found, &names);  taken, and the walk may replace `found`
//   ~output_file                      discards it unless it was named
//
// Stages (stage in the port's state):
//
//   unnamed      (Linux) open(".", O_TMPFILE) makes a file in no folder.
//                Nothing to remove: a kill or an interruption leaves
//                nothing, and the signals are not held. It is linked to a
//                free name (by its descriptor, else through /proc) and
//                closed; EEXIST: taken. Where a close can fail (NFS and the
//                like) its identity was taken first, and a failing close
//                unlinks the name again; where it cannot (the table in
//                find_close_check), a close that fails all the same leaves
//                the whole file at its name: named.
//   temporary    a hidden .snd_extractor-*.tmp. Linux: where the file system
//                has no unnamed files or no way to link them, and always to
//                replace; made (O_EXCL), or the unnamed file linked there,
//                in the run's own hidden folder where sounds are claimed
//                (below), with the signals held, and registered, so that an
//                interruption removes it while it is still this file; a kill
//                leaves it, partial while written, whole once closed.
//                Windows: made (CREATE_NEW) and marked to be deleted when its
//                handle closes, however the process ends; a kill between the
//                two leaves it empty.
//   named        at its own name, closed, no longer the object's. Linux:
//                renamed without replacing anything (RENAME_NOREPLACE; else a
//                hard link and an unlink; else the claim below). Windows: the
//                mark comes off, it is renamed through its handle without
//                replacing anything, and only then unhidden: a kill before
//                the rename leaves it whole under its hidden name, after it
//                the whole sound at its name, still hidden.
//   claim        (Linux, no no-replace renames, no links) an empty file made
//                at the free name (O_EXCL), registered, checked to be ours,
//                and renamed over, closed only then. A kill here leaves that
//                empty file at the name; an interruption removes it. From
//                the second sound on the temporary file lies in a hidden
//                .snd_extractor-*.tmp folder of the run's own, removed when
//                the run ends or is interrupted; a kill leaves it.
//
// Replacing what is at a taken name (Linux with the signals held):
//
//   exchanged    (Linux) RENAME_EXCHANGE swaps the sound and what is at the
//                name; what came out is unlinked if it is the file found
//                there, else exchanged back. A kill between leaves the old
//                file at the temporary name.
//   moved aside  (Linux without exchange; Windows, through handles: what is
//                at the name is opened as itself, sharing no deleting) what
//                is at the name is renamed to a fresh hidden name and
//                checked; the sound takes the free name without replacing;
//                the moved file is removed, or else put back, and where it
//                cannot be, kept() says where it is. A kill between leaves
//                the old file at its hidden name, and the name empty for that
//                moment.
#pragma once

#include "name_fold.h"
#include "platform.h"

#ifdef _WIN32
#include "output_file_windows.h"
#else
#include "output_file_linux.h"
#endif

// How the hidden temporary names of the run's files begin: a random part
// and ".tmp" follow.
inline constexpr char temporary_prefix[] = ".snd_extractor-";

// Room for a hidden name and a NUL: one in the working directory, or one
// in the run's own hidden folder (Linux, where a sound claims its name).
inline constexpr std::size_t hidden_name_size = 64;

// Writes some of `size` bytes to `fd`. Returns the count written, or -1
// with the system's error set.
long long write_some(int fd, const char* buffer, std::size_t size);

// What giving an output its name came to: named; taken (something is at
// the name, which stays); failed (why() says why).
enum class name_outcome { named, taken, failed };

class output_file {
public:
    output_file();   // makes it; descriptor() is -1 when none could be made
    ~output_file();  // discards it unless it was named
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // Where its bytes are written.
    int descriptor() const { return fd_; }

    // Gives the complete file the name `name` and closes it. Without
    // `replacing` only a free name is taken (taken: something is there).
    // With it, what is at the name is replaced whole, at once, but only
    // while it is still the file `*replacing`, and never where the name may
    // spell one of `archives` (whatever the caller decided, since what is
    // moved or removed then may be an archive held open); failed otherwise,
    // and it stays. Unless named, the file is still discarded with the object.
    name_outcome name(const char* name, const file_identity* replacing, const folded_names* archives = nullptr);

    // Why making or naming it failed.
    cause why() const { return why_; }

    // Where a file that name() took from the name to replace it, but could
    // not put back without replacing another, now is (one of the run's
    // hidden names); "" for none.
    const char* kept() const { return kept_; }

private:
    int fd_ = -1;
    char temp_name_[hidden_name_size] = "";
    file_identity identity_{};
    output_port_state port_;
    cause why_;
    char kept_[hidden_name_size] = "";
};
