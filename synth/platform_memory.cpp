#include "platform_memory.h"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

void* zeroed_array(size_t count, size_t size) {
    if (count == 0) count = 1;
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    void* p = std::calloc(count, size);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // A long burst-off gap makes arrays of up to 1.6 GB, which calloc maps
    // fresh and untouched. Asking for transparent huge pages on their 2 MB
    // aligned interior turns half a million page faults into a few thousand;
    // the contents (zeros) are the same either way.
    constexpr uintptr_t kHuge = 2u << 20;
    const size_t bytes = count * size;
    if (p != nullptr && bytes >= 4 * kHuge) {
        uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
        uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
        if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#endif
    return p;
}
