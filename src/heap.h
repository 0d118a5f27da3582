// The tool's one memory policy, for every room: what it allocates (the
// run's tables, its copy buffer, an archive's index buffer) it takes in one
// place through take_memory, at the start of the run or of an archive, and
// never once a sound, so that no allocation can fail inside the walk.
// Includes the standard library only.
#pragma once

#include <cstdlib>
#include <new>

namespace heap_detail {

inline void* reserve = nullptr;

// Near the end of the heap even the exception that says so cannot be
// allocated, and the process would end: the reserve is given back first.
inline void give_back_reserve()
{
    std::free(reserve);
    reserve = nullptr;
    throw std::bad_alloc();
}

}  // namespace heap_detail

// Runs `take` (which allocates through std containers) and answers whether
// it had the memory it asked for; false also without even 16 KiB to spare,
// where `take` is not run at all.
template <typename Take>
bool take_memory(Take take) noexcept
{
    heap_detail::reserve = std::malloc(16 << 10);
    if (heap_detail::reserve == nullptr)
        return false;
    std::new_handler previous = std::set_new_handler(heap_detail::give_back_reserve);
    bool taken = true;
    try {
        take();
    } catch (const std::bad_alloc&) {
        taken = false;
    }
    std::set_new_handler(previous);
    std::free(heap_detail::reserve);
    heap_detail::reserve = nullptr;
    return taken;
}
