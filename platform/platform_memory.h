// Large zero-filled sample arrays and the platform-specific help for them.
#pragma once
#include <cstddef>
#include <cstdint>

// Zero-filled block of count elements of size bytes each (one element at
// least, so a zero count is not mistaken for failure); nullptr when out of
// memory or when the byte count overflows. Release with std::free.
void* zeroed_array(size_t count, size_t size);
// Block of count elements of size bytes for a caller that writes most of it:
// zero-filled (*zeroed true) where that costs nothing, a fresh mapping whose
// pages the kernel clears when first touched; else left as the C library
// gives it (*zeroed false), so the caller clears only what it must.
// nullptr as zeroed_array. Release with std::free.
void* array_for_writing(size_t count, size_t size, bool* zeroed);

// A working block of bytes for a stage's tables and scratch (contents
// undefined). From 1 MB on, on Linux, a fresh mapping of whole 2 MB
// transparent huge pages where the system grants them (on a guest with
// shadow page tables a 2 MB page's first touch costs about what a 4 KB
// page's does), else from the C library; a small record of it always comes
// from the C library. nullptr when out of memory. Release with large_free.
void* large_alloc(size_t bytes);
// A block of large_alloc, zero-filled (a fresh mapping already is, so the
// pages stay untouched until used). Release with large_free.
void* large_alloc_zeroed(size_t bytes);
// Releases a block of large_alloc; nullptr is allowed.
void large_free(void* block);
// Whether the system grants large_alloc's blocks transparent huge pages
// (Linux with them not switched off); read once.
bool large_pages_granted();

// A background task that maps in, ahead of use, pages that a later stage will
// write anyway; nullptr when there is nothing worth doing or no thread.
struct PrefaultTask;

// Starts mapping in the blocks (interleaved, front to back) while the caller
// goes on; the memory contents are not touched. Blocks under 16 MB are left alone.
PrefaultTask* prefault_start(void* const* blocks, const size_t* bytes, int count);
// Waits for the task to end and releases it; nullptr is allowed.
void prefault_finish(PrefaultTask* task);

// A large array held outside the process's address space: an unnamed file in
// memory (Linux memfd), read and written in blocks through the kernel. Where
// the first touch of a fresh page is dear (a guest with shadow page tables
// pays about 10 us a page, twice over when the kernel then copies from it),
// hundreds of megabytes cost far less this way than as a mapped array.
struct MemoryFile {
    int fd = -1;
    int64_t bytes = 0;
};

// Opens a memory file of bytes that reads as zeros until written; false where
// there is none (not Linux, no memfd, no descriptor) or bytes is negative.
bool memory_file_open(MemoryFile* f, int64_t bytes);
// Writes n bytes at offset (within the file's bytes); false on any failure,
// out of memory among them.
bool memory_file_write(const MemoryFile* f, int64_t offset, const void* data, size_t n);
// Reads n bytes at offset (within the file's bytes); false on any failure.
bool memory_file_read(const MemoryFile* f, int64_t offset, void* data, size_t n);
// Releases the file and its memory; a closed or never opened file is allowed.
void memory_file_close(MemoryFile* f);
