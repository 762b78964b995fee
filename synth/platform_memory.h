// Large zero-filled sample arrays; the one platform-specific allocation hint of the library.
#pragma once
#include <cstddef>

// Zero-filled block of count elements of size bytes each (one element at
// least, so a zero count is not mistaken for failure); nullptr when out of
// memory or when the byte count overflows. Release with std::free.
void* zeroed_array(size_t count, size_t size);
