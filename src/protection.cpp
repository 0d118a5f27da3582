// What no sound may replace: the run's archives, found at its start.
#include "protection.h"

#include "heap.h"

#include <algorithm>
#include <string>

namespace {

bool before(const file_identity& a, const file_identity& b)
{
    return a.device != b.device ? a.device < b.device : a.inode < b.inode;
}

// Enters the last component of `path` in `names`: a folder's path ("dir/")
// has none, and no output takes that name.
void add_name(folded_names& names, const char* path)
{
    const char* component = last_component(path, path_separators);
    if (*component != '\0')
        names.add(component);
}

}  // namespace

bool run_archives::find(const archive_list& archives, std::vector<archive_handle>* held)
{
    const std::size_t count = archives.size();
    if (!take_memory([&] { held->assign(count, no_archive); }))
        held->clear();  // every archive is opened at its turn
    std::size_t budget = held->empty() ? 0 : archive_budget();
    complete_ = take_memory([&] {
        identities_.reserve(count);
        for (std::size_t at = 0; at < count; ++at) {
            const archive_path path = archives[at];
            file_identity identity;
            archive_kind kind = inspect_archive(path, &identity);
            if (!held->empty() && kind == archive_kind::regular && budget > 0) {
                (*held)[at] = hold_archive(path, &identity);
                budget -= (*held)[at] != no_archive;
            }
            if (kind != archive_kind::missing)
                identities_.push_back(identity);
            add_name(names_, path.bytes);
            const std::string followed = follow_links(path.bytes);
            if (!followed.empty())
                add_name(names_, followed.c_str());
        }
        std::sort(identities_.begin(), identities_.end(), before);
        names_.seal();
    });
    return complete_;
}

cause run_archives::may_replace(const char* name, const file_identity& reading, file_identity* found) const
{
    file_identity named[2];
    const name_kind kind = inspect_name(name, &named[0]);
    if (kind != name_kind::other)  // nothing any more: another took the free name and left it since
        return {kind == name_kind::directory ? reason::folder_at_name : reason::raced};
    if (!complete_)
        return {reason::no_tables};
    *found = named[0];
    if (names_.may_spell(name))
        return {reason::archive_at_name};
    if (identify_file(name, &named[1]) != 0)  // where a link leads, if anywhere
        named[1] = named[0];
    for (const file_identity& identity : named)
        if (same_file(identity, reading) || std::binary_search(identities_.begin(), identities_.end(), identity, before))
            return {reason::archive_at_name};
    return {};
}
