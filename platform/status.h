// Status codes of the library's internal functions. A function's own argument
// checks return small positive codes (1, 2, 3, in argument order, named in its
// header); the conditions every layer shares are negative and the same
// everywhere. Only the entry layer turns them into orv_11a_actual's results.
#pragma once
#include <cstdint>

enum OrvStatus : int32_t {
    kStatusOk = 0,
    kStatusNoMemory = -1,     // memory ran out, or a count no array can hold
    kStatusWriteFailed = -2,  // the output file could not be created or completed
};
