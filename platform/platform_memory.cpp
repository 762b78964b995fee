#include "platform_memory.h"

#include "file_sink.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

constexpr uintptr_t kHuge = 2u << 20;
constexpr size_t kPrefaultMinimum = 16u << 20;
constexpr size_t kLargeMinimum = 1u << 20;
// Blocks from this size on are always mapped fresh by the C library (glibc's
// largest threshold for doing so is 32 MB).
constexpr size_t kFreshMapping = 32u << 20;
constexpr int kMaxBlocks = 4;

// The 2 MB aligned interior of a block, empty when there is none.
[[maybe_unused]] void huge_interior(void* p, size_t bytes, uintptr_t* begin, uintptr_t* end) {
    *begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    *end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
    if (*end < *begin) *end = *begin;
}

}  // namespace

struct PrefaultTask {
    std::thread worker;
};

namespace {

// large_alloc's record of a block: its memory (a mapping of `mapped` bytes,
// else the C library's block). From the C library itself, so that running
// out of it reaches the caller as malloc's failure would.
struct LargeRecord {
    void* base;
    size_t mapped;
};
// The record's address lies in the line before the block.
constexpr size_t kLargeLead = 64;

}  // namespace

void* large_alloc(size_t bytes) {
    if (bytes > SIZE_MAX - 2 * kHuge) return nullptr;
    LargeRecord* r = static_cast<LargeRecord*>(std::malloc(sizeof(LargeRecord)));
    if (r == nullptr) return nullptr;
    unsigned char* at = nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kLargeMinimum) {
        // Whole 2 MB pages from a 2 MB boundary: one more mapped, the ends trimmed.
        const size_t length = (bytes + kLargeLead + kHuge - 1) & ~(kHuge - 1);
        void* raw = mmap(nullptr, length + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw != MAP_FAILED) {
            const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
            const uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
            if (begin > start) munmap(raw, begin - start);
            munmap(reinterpret_cast<void*>(begin + length), start + kHuge - begin);
            madvise(reinterpret_cast<void*>(begin), length, MADV_HUGEPAGE);
            r->base = reinterpret_cast<void*>(begin);
            r->mapped = length;
            at = static_cast<unsigned char*>(r->base);
        }
    }
#endif
    if (at == nullptr) {
        r->base = std::malloc(bytes + kLargeLead);
        r->mapped = 0;
        at = static_cast<unsigned char*>(r->base);
    }
    if (at == nullptr) {
        std::free(r);
        return nullptr;
    }
    std::memcpy(at, &r, sizeof r);
    return at + kLargeLead;
}

void* large_alloc_zeroed(size_t bytes) {
    unsigned char* block = static_cast<unsigned char*>(large_alloc(bytes));
    if (block == nullptr) return nullptr;
    LargeRecord* r;
    std::memcpy(&r, block - kLargeLead, sizeof r);
    if (r->mapped == 0) std::memset(block, 0, bytes);
    return block;
}

bool large_pages_granted() {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    static const bool granted = [] {
        // "always [madvise] never": the bracketed choice is the one in force.
        char text[128] = {};
        std::FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "rb");
        if (f == nullptr) return false;
        const size_t n = std::fread(text, 1, sizeof text - 1, f);
        std::fclose(f);
        text[n] = '\0';
        return std::strstr(text, "[always]") != nullptr || std::strstr(text, "[madvise]") != nullptr;
    }();
    return granted;
#else
    return false;
#endif
}

void large_free(void* block) {
    if (block == nullptr) return;
    LargeRecord* r;
    std::memcpy(&r, static_cast<unsigned char*>(block) - kLargeLead, sizeof r);
#if defined(__linux__)
    if (r->mapped != 0) munmap(r->base, r->mapped);
#endif
    if (r->mapped == 0) std::free(r->base);
    std::free(r);
}

void* zeroed_array(size_t count, size_t size) {
    if (count == 0) count = 1;
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    void* p = std::calloc(count, size);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // A long burst-off gap makes arrays of up to 1.6 GB, which calloc maps
    // fresh and untouched. Transparent huge pages on their 2 MB aligned
    // interior turn half a million page faults into a few thousand; the
    // contents (zeros) are the same either way.
    const size_t bytes = count * size;
    if (p != nullptr && bytes >= 4 * kHuge) {
        uintptr_t begin, end;
        huge_interior(p, bytes, &begin, &end);
        if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#endif
    return p;
}

void* array_for_writing(size_t count, size_t size, bool* zeroed) {
    if (count == 0) count = 1;
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    // A block this large is a fresh mapping: calloc does not clear it and the
    // kernel hands out cleared pages. A smaller one may come from the heap,
    // where calloc would clear it all.
    *zeroed = count * size >= kFreshMapping;
    return *zeroed ? zeroed_array(count, size) : std::malloc(count * size);
}

PrefaultTask* prefault_start(void* const* blocks, const size_t* bytes, int count) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    uintptr_t begin[kMaxBlocks], end[kMaxBlocks];
    int n = 0;
    for (int k = 0; k < count && n < kMaxBlocks; ++k) {
        if (blocks[k] == nullptr || bytes[k] < kPrefaultMinimum) continue;
        huge_interior(blocks[k], bytes[k], &begin[n], &end[n]);
        ++n;
    }
    if (n == 0) return nullptr;
    PrefaultTask* task = new (std::nothrow) PrefaultTask;
    if (task == nullptr) return nullptr;
    try {
        task->worker = std::thread([n, begin, end]() mutable {
            // The kernel zero-fills the pages here, on the other core, in steps
            // that advance through all blocks together as the stages write them.
            constexpr uintptr_t kStep = 32 * kHuge;
            bool more = true;
            while (more) {
                more = false;
                for (int k = 0; k < n; ++k) {
                    if (begin[k] >= end[k]) continue;
                    const uintptr_t stop = end[k] - begin[k] > kStep ? begin[k] + kStep : end[k];
                    if (madvise(reinterpret_cast<void*>(begin[k]), stop - begin[k], MADV_POPULATE_WRITE) != 0)
                        return;  // not supported, or no memory: the stages fault the pages in themselves
                    begin[k] = stop;
                    more = more || begin[k] < end[k];
                }
            }
        });
    } catch (...) {  // no thread (resources, memory): the stages fault the pages in themselves
        delete task;
        return nullptr;
    }
    return task;
#else
    (void)blocks;
    (void)bytes;
    (void)count;
    return nullptr;
#endif
}

void prefault_finish(PrefaultTask* task) {
    if (task == nullptr) return;
    if (task->worker.joinable()) task->worker.join();
    delete task;
}

bool memory_file_open(MemoryFile* f, int64_t bytes) {
    f->fd = -1;
    f->bytes = 0;
#if defined(__linux__) && defined(MFD_CLOEXEC)
    if (bytes < 0) return false;
    // The file counts against the process's file size limit: past it a write
    // would raise SIGXFSZ, so such a file is not made at all.
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<uint64_t>(bytes) > static_cast<uint64_t>(limit.rlim_cur))
        return false;
    const int fd = memfd_create("orvasynth-samples", MFD_CLOEXEC);
    if (fd < 0) return false;
    if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {  // sparse: no memory until written
        close(fd);
        return false;
    }
    f->fd = fd;
    f->bytes = bytes;
    return true;
#else
    (void)bytes;
    return false;
#endif
}

namespace {

// Whether n bytes at offset lie within the open file.
bool within(const MemoryFile* f, int64_t offset, size_t n) {
    return f->fd >= 0 && offset >= 0 && offset <= f->bytes && n <= static_cast<uint64_t>(f->bytes - offset);
}

}  // namespace

bool memory_file_write(const MemoryFile* f, int64_t offset, const void* data, size_t n) {
    return within(f, offset, n) && fd_write_all_at(f->fd, data, n, offset);  // ENOSPC/ENOMEM: memory ran out
}

bool memory_file_read(const MemoryFile* f, int64_t offset, void* data, size_t n) {
    return within(f, offset, n) && fd_read_all_at(f->fd, data, n, offset);
}

void memory_file_close(MemoryFile* f) {
#if defined(__linux__)
    if (f->fd >= 0) close(f->fd);
#endif
    f->fd = -1;
    f->bytes = 0;
}
