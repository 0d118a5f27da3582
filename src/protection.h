// The run's archives, which no sound may replace, and the one rule of what a
// sound may replace (may_replace). Includes platform.h, archive_io.h and
// name_fold.h; the walk includes it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "archive_io.h"
#include "name_fold.h"
#include "platform.h"

// The archives of a run as the command line names them, in order.
struct archive_list {
    std::span<char* const> paths;
    const bool* listed = nullptr;  // for each path, whether a wildcard's listing spelled it; nullptr: none

    std::size_t size() const { return paths.size(); }
    archive_path operator[](std::size_t at) const { return {paths[at], listed != nullptr && listed[at]}; }
};

class run_archives {
public:
    // Finds the run's archives at its start: the identity of each, and each
    // name (its last component, folded) as spelled and where its links lead.
    // Regular files are held open as far as the descriptor budget goes, in
    // `held` (one for each archive, no_archive for the others; left empty
    // where there is no memory for it), since an open file keeps its
    // identity; FIFOs and devices are left for their turn, as an early open
    // would wait for a writer, or end one. The tables take 16 bytes an
    // archive and 8 a name (20,000 archives named through links: 640 KiB),
    // and `held` 8 bytes an archive. false: there was no memory for them,
    // and no sound of the run replaces anything.
    bool find(const archive_list& archives, std::vector<archive_handle>* held);

    // The one rule: whether a sound may replace what is at the taken name
    // `name` (in `found`: what is there, the link itself for a link) while
    // the archive `reading` is read. Never a folder. Never a name that may
    // spell a name an archive of the run had when the run began, as spelled
    // or where links led, in any folder, whatever is there now, since a
    // folder may fold case and the numbers that tell files apart (a FUSE
    // driver's, vfat's) may differ from one spelling to the next. Never the
    // archive being read, nor a file that was an archive of the run when it
    // began, by identity: a hard link, a link that leads to it. And nothing
    // at all where the tables could not be had. Answers none where it may,
    // else the reason why not.
    cause may_replace(const char* name, const file_identity& reading, file_identity* found) const;

    // The archives' folded names, which the replacing roads refuse too.
    const folded_names& names() const { return names_; }

private:
    std::vector<file_identity> identities_;  // sorted: each archive that existed, once
    folded_names names_;
    bool complete_ = false;
};
