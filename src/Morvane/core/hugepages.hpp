// Huge pages for a large buffer about to be filled front to back.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace mv {

// Asks the kernel for huge pages over the 2 MiB blocks inside `data`'s
// `size` bytes: one page fault per 2 MiB instead of per 4 KiB. Only advice,
// for buffers of 8 MiB or more: only the pages touched are committed, huge
// or not, and nothing changes where the kernel does not take it.
inline void adviseHugePages([[maybe_unused]] void* data, [[maybe_unused]] size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t{1} << 21;
    if (size < 4 * kHuge) return;
    const auto start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t from = (start + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t to = (start + size) & ~(kHuge - 1);
    (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#endif
}

}  // namespace mv
