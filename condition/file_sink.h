// Checked file output for the writers. A regular file (or a path that does
// not exist yet) is replaced whole: the bytes go into a new file in the same
// folder, which is renamed over the path only once it is complete, so the
// path holds either the previous file or the complete new one. Through a
// symbolic link the link's target is replaced and the link stays. A path that
// is not a regular file (a device, a FIFO) is written directly. Every write,
// the flush and the close are checked. The only platform-specific code of the
// library lives behind these functions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

struct FileSink {
    std::FILE* file;
    bool failed;     // a write has failed; later writes are skipped
    bool regular;    // written directly into a regular file (removed on failure)
    char* temp;      // the new file while it is written (nullptr when writing directly)
    char* target;    // the name the new file takes when complete
    char* buffer;    // the stream's buffer
};

// sink_open results besides 0 and 1 (cannot be opened).
constexpr int32_t kSinkNoMemory = 2;

// Opens path for writing (binary or text mode). Returns 0, 1 when it cannot be
// opened, or kSinkNoMemory when memory ran out; on failure nothing was created.
int32_t sink_open(const char* path, bool binary, FileSink* s);
// Appends n bytes; failures are remembered for sink_close.
void sink_write(FileSink* s, const void* data, size_t n);
// Hands the file over to positional writes: flushes the stream and gives the
// offset it reached. False (the stream goes on as before) where the platform
// or the file (a device, a FIFO) has none, or the flush failed.
bool sink_begin_positional(FileSink* s, int64_t* offset);
// Writes n bytes at offset; any thread may call it for disjoint ranges at
// once. Returns false on failure, which the caller records in s->failed.
bool sink_write_at(const FileSink* s, const void* data, size_t n, int64_t offset);
// Takes the stream back at offset (the end of what was written positionally).
void sink_end_positional(FileSink* s, int64_t offset);
// Flushes and closes, then puts a new file in place. On any failure the new
// file is removed (the previous file at the path stays), or a regular file
// written directly is removed if it is still the one opened. Returns 0 when
// everything was written, else 1.
int32_t sink_close(FileSink* s, const char* path);
// Local broken-down time of now.
std::tm local_time_now();
