// The project's one way of replacing a file (the library's waveform files,
// the program's settings file, orvgen's SigMF recordings).
//
// The guarantee: a regular file (or a path that does not exist yet) is
// replaced whole. The bytes go into a new file in the same folder, which is
// flushed to the storage device (fsync; _commit on Windows) and only then
// renamed over the path, so the path holds the previous file or the complete
// new one, also after a crash of the machine. Through a symbolic link the
// link's target is replaced and the link stays. The replacement keeps the
// replaced file's permission bits (and its owner where allowed); a new file
// gets 0666 less the umask. An existing file the caller may not write is not
// replaced. Every write, the flush, the sync, the close and the rename are
// checked; on any failure the new file is removed and the previous one stays.
//
// With kSinkWriteDevices (waveform files) a path that is not a regular file
// (a device, a FIFO) is written directly, and a writable file in a folder
// that takes no new files is rewritten in place (removed again if writing it
// fails); with kSinkReplaceOnly (settings) both are refused.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// What sink_open may do besides replacing a regular file.
enum SinkPolicy : int32_t {
    kSinkWriteDevices = 0,  // devices and FIFOs written directly; in place where no new file can be made
    kSinkReplaceOnly = 1,   // only replacement; anything else is refused
};

struct FileSink {
    std::FILE* file;
    bool failed;     // a write has failed; later writes are skipped
    bool regular;    // written directly into a regular file (removed on failure)
    char* temp;      // the new file while it is written (nullptr when writing directly)
    char* target;    // the name the new file takes when complete
    char* buffer;    // the stream's buffer
    int64_t reserved;  // end of the storage reserved ahead of the writes (0: none)
};

// Opens path for writing (binary or text mode). Returns kStatusOk,
// kStatusWriteFailed when it cannot be opened (errno tells why: EISDIR a
// folder, EINVAL another kind of file refused by kSinkReplaceOnly), or
// kStatusNoMemory; on failure nothing was created.
int32_t sink_open(const char* path, bool binary, FileSink* s, SinkPolicy policy = kSinkWriteDevices);
// Appends n bytes; failures are remembered for sink_close.
void sink_write(FileSink* s, const void* data, size_t n);
// Hands the file over to positional writes: flushes the stream and gives the
// offset it reached. False (the stream goes on as before) where the platform
// or the file (a device, a FIFO) has none, or the flush failed.
bool sink_begin_positional(FileSink* s, int64_t* offset);
// Writes n bytes at offset; any thread may call it for disjoint ranges at
// once. Returns false on failure, which the caller records in s->failed.
bool sink_write_at(const FileSink* s, const void* data, size_t n, int64_t offset);

// Writes (reads) all n bytes at offset of the descriptor fd, a pwrite (pread)
// at a time, going on after interrupted calls and short counts; false on any
// failure, and always on Windows (no positional transfers there).
bool fd_write_all_at(int fd, const void* data, size_t n, int64_t offset);
bool fd_read_all_at(int fd, void* data, size_t n, int64_t offset);
// Reserves the file's storage for bytes [offset, offset + n) ahead of their
// writes (Linux fallocate, the file's size unchanged), so that the writes
// find it allocated. Only for a regular file, and not while it is written.
// Returns false where there is no such reservation (another platform, a
// device, a file system without it) or no room; the writes then report their
// errors as ever. Storage reserved beyond the file's final end (also by a
// reservation that ran out of room) is released by sink_close.
bool sink_reserve(FileSink* s, int64_t offset, int64_t n);
// Whether this platform has sink_reserve's reservations at all.
bool sink_reserve_available();
// A background task reserving [0, n) of the sink's file with sink_reserve
// step by step; nullptr when there is nothing worth doing or no thread.
struct SinkReserveTask;
SinkReserveTask* sink_reserve_start(FileSink* s, int64_t n);
// Stops the task after its current step and releases it (nullptr allowed);
// the sink may be written again after it.
void sink_reserve_finish(SinkReserveTask* task);
// Takes the stream back at offset (the end of what was written positionally).
void sink_end_positional(FileSink* s, int64_t offset);
// Flushes, syncs and closes, then puts a new file in place. On any failure the
// new file is removed (the previous file at the path stays), or a regular file
// written directly is removed if it is still the one opened. Returns kStatusOk
// when everything was written, else kStatusWriteFailed (errno tells why).
int32_t sink_close(FileSink* s, const char* path);
// Local broken-down time of now.
std::tm local_time_now();
