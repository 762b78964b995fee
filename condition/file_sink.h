// Checked file output for the writers: every write, the flush and the close
// are checked, and a regular file left incomplete is removed. The only
// platform-specific code of the library lives behind these functions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

struct FileSink {
    std::FILE* file;
    bool failed;   // a write has failed; later writes are skipped
    bool regular;  // the opened file is a regular file (may be removed on failure)
};

// Opens path for writing (created or truncated). Returns 0, or 1 when it cannot be opened.
int32_t sink_open(const char* path, bool binary, FileSink* s);
// Appends n bytes; failures are remembered for sink_close.
void sink_write(FileSink* s, const void* data, size_t n);
// Flushes and closes; on any failure removes the file if it is still the
// regular file that was opened. Returns 0 when everything was written, else 1.
int32_t sink_close(FileSink* s, const char* path);
// Local broken-down time of now.
std::tm local_time_now();
