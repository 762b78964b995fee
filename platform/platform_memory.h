// Large zero-filled sample arrays and the platform-specific help for them.
#pragma once
#include <cstddef>

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

// A background task that maps in, ahead of use, pages that a later stage will
// write anyway; nullptr when there is nothing worth doing or no thread.
struct PrefaultTask;

// Starts mapping in the blocks (interleaved, front to back) while the caller
// goes on; the memory contents are not touched. Blocks under 16 MB are left alone.
PrefaultTask* prefault_start(void* const* blocks, const size_t* bytes, int count);
// Waits for the task to end and releases it; nullptr is allowed.
void prefault_finish(PrefaultTask* task);
