#include "file_sink.h"

#include "status.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#define access _access
#define W_OK 2
#define ORV_FILENO _fileno
#define ORV_FSTAT _fstat64
#define ORV_STAT _stat64
using orv_stat_t = struct _stat64;
#else
#include <unistd.h>
#define ORV_FILENO fileno
#define ORV_FSTAT fstat
#define ORV_STAT lstat
using orv_stat_t = struct stat;
#endif

namespace {

// The stream's buffer: the writers hand over blocks of this order, which the
// stream then passes on whole; a larger buffer only adds pages to map in.
constexpr size_t kBufferSize = 64 << 10;
// A background reservation's step: the most it holds the file when stopped.
constexpr int64_t kReserveStep = int64_t{32} << 20;
// Links followed at most on the way to the file (as the kernel's limit).
constexpr int kMaxLinks = 40;
// Names tried for the new file before giving up.
constexpr int kMaxTempTries = 100;

// Number of new files this process has named (the program's settings and
// the library's files may be written from different threads).
std::atomic<unsigned long> g_temp_counter{0};

char* copy_text(const char* text, size_t n) {
    char* p = static_cast<char*>(std::malloc(n + 1));
    if (p != nullptr) {
        std::memcpy(p, text, n);
        p[n] = '\0';
    }
    return p;
}

// Length of the folder part of path, including its last '/' (0 for a bare name).
size_t folder_length(const char* path) {
    size_t n = std::strlen(path);
    while (n > 0 && path[n - 1] != '/'
#if defined(_WIN32)
           && path[n - 1] != '\\' && path[n - 1] != ':'
#endif
    )
        --n;
    return n;
}

// The name the bytes finally go to: path itself, or through symbolic links
// the file they name (which need not exist yet). *out is malloc'd; returns
// kStatusOk, kStatusNoMemory, or kStatusWriteFailed for a chain of links
// longer than the kernel follows (a loop).
int32_t resolve_target(const char* path, char** out) {
    char* current = copy_text(path, std::strlen(path));
    if (current == nullptr) return kStatusNoMemory;
#if !defined(_WIN32)
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat st;
        if (lstat(current, &st) != 0 || !S_ISLNK(st.st_mode)) break;
        size_t size = st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 256;
        char* link = nullptr;
        ssize_t got = 0;
        for (;;) {  // the link may change between lstat and readlink
            link = static_cast<char*>(std::malloc(size));
            if (link == nullptr) {
                std::free(current);
                return kStatusNoMemory;
            }
            got = readlink(current, link, size);
            if (got < 0 || static_cast<size_t>(got) < size) break;
            std::free(link);
            size *= 2;
        }
        if (got <= 0) {
            std::free(link);
            break;  // opening the path itself reports what is wrong
        }
        char* next;
        if (link[0] == '/') {
            next = copy_text(link, static_cast<size_t>(got));
        } else {  // relative to the folder holding the link
            const size_t folder = folder_length(current);
            next = static_cast<char*>(std::malloc(folder + static_cast<size_t>(got) + 1));
            if (next != nullptr) {
                std::memcpy(next, current, folder);
                std::memcpy(next + folder, link, static_cast<size_t>(got));
                next[folder + static_cast<size_t>(got)] = '\0';
            }
        }
        std::free(link);
        std::free(current);
        if (next == nullptr) return kStatusNoMemory;
        current = next;
    }
    struct stat last;
    if (lstat(current, &last) == 0 && S_ISLNK(last.st_mode)) {
        std::free(current);
        return kStatusWriteFailed;
    }
#endif
    *out = current;
    return kStatusOk;
}

// Creates a new, empty file beside target and returns its descriptor (or -1
// with errno set); *temp receives its malloc'd name, or stays nullptr when
// memory ran out (errno ENOMEM).
int create_temp(const char* target, bool binary, char** temp) {
    *temp = nullptr;
    const size_t folder = folder_length(target);
    const size_t room = folder + 64;
    char* name = static_cast<char*>(std::malloc(room));
    if (name == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(name, target, folder);
#if defined(_WIN32)
    const unsigned long pid = static_cast<unsigned long>(_getpid());
    const int flags = _O_WRONLY | _O_CREAT | _O_EXCL | (binary ? _O_BINARY : _O_TEXT);
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    (void)binary;
#endif
    for (int attempt = 0; attempt < kMaxTempTries; ++attempt) {
        std::snprintf(name + folder, room - folder, ".orvasynth-%lu-%lu.tmp", pid, g_temp_counter.fetch_add(1));
#if defined(_WIN32)
        const int fd = _open(name, flags, _S_IREAD | _S_IWRITE);
#else
        // Mode 0666 less the umask, as creating the file at the path would give.
        const int fd = open(name, flags, 0666);
#endif
        if (fd >= 0) {
            *temp = name;
            return fd;
        }
        if (errno != EEXIST) break;
    }
    const int saved = errno;
    std::free(name);
    errno = saved;
    return -1;
}

// Removes the regular file at path (or, through a symbolic link, the regular
// file the link names) when it is the very file that was opened; a device, a
// link itself or another file put there meanwhile is never removed.
void remove_if_opened(const char* path, const orv_stat_t& opened) {
    orv_stat_t named;
    if (ORV_STAT(path, &named) != 0) return;
#if !defined(_WIN32)
    if (S_ISLNK(named.st_mode)) {
        char* target = realpath(path, nullptr);
        if (target != nullptr) {
            if (stat(target, &named) == 0 && S_ISREG(named.st_mode) && named.st_dev == opened.st_dev &&
                named.st_ino == opened.st_ino)
                std::remove(target);
            std::free(target);
        }
        return;
    }
#endif
    if ((named.st_mode & S_IFMT) == S_IFREG && named.st_dev == opened.st_dev &&
        named.st_ino == opened.st_ino)
        std::remove(path);
}

// Moves the complete new file over target; 0 on success.
int replace_file(const char* temp, const char* target) {
#if defined(_WIN32)
    return MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
#else
    return std::rename(temp, target);
#endif
}

void release(FileSink* s) {
    std::free(s->temp);
    std::free(s->target);
    std::free(s->buffer);
    s->temp = s->target = s->buffer = nullptr;
}

}  // namespace

namespace {

// Ends a failed sink_open: releases what s holds and leaves error in errno.
int32_t refuse(FileSink* s, int error) {
    release(s);
    errno = error;
    return error == ENOMEM ? kStatusNoMemory : kStatusWriteFailed;
}

// Opens a new file beside s->target as s->file; existing: the file it will
// replace (its owner, where allowed, and its mode are kept), or nullptr.
// Returns kStatusOk, or the failure with errno set and nothing created.
int32_t open_replacement(FileSink* s, bool binary, const struct stat* existing) {
    const int fd = create_temp(s->target, binary, &s->temp);
    if (fd < 0) return errno == ENOMEM ? kStatusNoMemory : kStatusWriteFailed;
#if !defined(_WIN32)
    if (existing != nullptr) {
        if (fchown(fd, existing->st_uid, existing->st_gid) != 0) { /* not permitted: ours */ }
        fchmod(fd, existing->st_mode & 07777);
    }
    s->file = fdopen(fd, binary ? "wb" : "w");
#else
    (void)existing;
    s->file = _fdopen(fd, binary ? "wb" : "w");
#endif
    if (s->file != nullptr) return kStatusOk;
    const int saved = errno;
#if defined(_WIN32)
    _close(fd);
#else
    close(fd);
#endif
    std::remove(s->temp);
    std::free(s->temp);
    s->temp = nullptr;
    errno = saved;
    return saved == ENOMEM ? kStatusNoMemory : kStatusWriteFailed;
}

// Opens path itself for writing: a device, a FIFO, or a file in a folder
// that takes no new files. Returns kStatusOk or the failure (s released).
int32_t open_direct(const char* path, bool binary, FileSink* s) {
    s->file = std::fopen(path, binary ? "wb" : "w");
    if (s->file == nullptr) return refuse(s, errno);
    orv_stat_t st;
    s->regular = ORV_FSTAT(ORV_FILENO(s->file), &st) == 0 && (st.st_mode & S_IFMT) == S_IFREG;
    return kStatusOk;
}

// Flushes what was written to the storage device; 0 on success.
int sync_file(std::FILE* file) {
#if defined(_WIN32)
    return _commit(_fileno(file));
#else
    return fsync(fileno(file));
#endif
}

// Releases storage reserved beyond the file's end (the size the writes
// reached), so the file takes no more than its bytes. False when that failed.
bool release_reserved(FileSink* s) {
#if !defined(_WIN32)
    if (s->reserved == 0) return true;
    const int fd = fileno(s->file);
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    // Truncating to the same size drops the blocks beyond it.
    return st.st_size >= s->reserved || ftruncate(fd, st.st_size) == 0;
#else
    (void)s;
    return true;
#endif
}

}  // namespace

int32_t sink_open(const char* path, bool binary, FileSink* s, SinkPolicy policy) {
    *s = FileSink{nullptr, false, false, nullptr, nullptr, nullptr, 0};
    if (path[0] == '\0') {
        errno = ENOENT;
        return kStatusWriteFailed;
    }
    s->buffer = static_cast<char*>(std::malloc(kBufferSize));
    if (s->buffer == nullptr) return kStatusNoMemory;
    const int32_t resolved = resolve_target(path, &s->target);
    if (resolved != kStatusOk) return refuse(s, resolved == kStatusNoMemory ? ENOMEM : ELOOP);

    struct stat existing;
    const bool exists = stat(s->target, &existing) == 0;
    const bool regular = exists && S_ISREG(existing.st_mode);
    // A file the caller may not write is not replaced either.
    if (regular && access(s->target, W_OK) != 0) return refuse(s, errno);
    if (exists && !regular && policy == kSinkReplaceOnly)
        return refuse(s, S_ISDIR(existing.st_mode) ? EISDIR : EINVAL);
    if (!exists || regular) {
        // A regular file, or none yet: a new file beside it takes its place when complete.
        const int32_t opened = open_replacement(s, binary, exists ? &existing : nullptr);
        const int error = errno;
        if (opened == kStatusNoMemory) return refuse(s, ENOMEM);
        // No file can be made there (no such folder, no room): nothing was
        // created. A writable file in a folder that takes no new files is
        // rewritten in place, as the only way left to write it.
        if (opened != kStatusOk && !(policy == kSinkWriteDevices && exists &&
                                     (error == EACCES || error == EPERM || error == EROFS)))
            return refuse(s, error);
    }
    if (s->file == nullptr && open_direct(path, binary, s) != kStatusOk)
        return errno == ENOMEM ? kStatusNoMemory : kStatusWriteFailed;
    std::setvbuf(s->file, s->buffer, _IOFBF, kBufferSize);
    return kStatusOk;
}

void sink_write(FileSink* s, const void* data, size_t n) {
    if (s->failed || n == 0) return;
    if (std::fwrite(data, 1, n, s->file) != n) s->failed = true;
}

bool sink_begin_positional(FileSink* s, int64_t* offset) {
#if defined(_WIN32)
    (void)s;
    (void)offset;
    return false;  // the C runtime has no positional write; the stream writes in order
#else
    if (s->failed || (s->temp == nullptr && !s->regular)) return false;
    if (std::fflush(s->file) != 0) {
        s->failed = true;
        return false;
    }
    const off_t at = lseek(fileno(s->file), 0, SEEK_CUR);
    if (at < 0) return false;
    *offset = at;
    return true;
#endif
}

#if defined(_WIN32)
bool fd_write_all_at(int, const void*, size_t, int64_t) { return false; }  // no positional transfers
bool fd_read_all_at(int, void*, size_t, int64_t) { return false; }
#else
namespace {

// Moves n bytes between data and a file at offset, move (a pread or pwrite)
// a call at a time; false on any failure.
template <typename Byte, typename Transfer>
bool transfer_all(int64_t offset, Byte* data, size_t n, Transfer move) {
    while (n > 0) {
        const ssize_t done = move(data, n, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        offset += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

bool fd_write_all_at(int fd, const void* data, size_t n, int64_t offset) {
    return transfer_all(offset, static_cast<const char*>(data), n,
                        [fd](const char* from, size_t m, off_t at) { return pwrite(fd, from, m, at); });
}

bool fd_read_all_at(int fd, void* data, size_t n, int64_t offset) {
    return transfer_all(offset, static_cast<char*>(data), n,
                        [fd](char* to, size_t m, off_t at) { return pread(fd, to, m, at); });
}
#endif

bool sink_write_at(const FileSink* s, const void* data, size_t n, int64_t offset) {
#if defined(_WIN32)
    (void)s;
    (void)data;
    (void)n;
    (void)offset;
    return false;
#else
    return fd_write_all_at(fileno(s->file), data, n, offset);
#endif
}

bool sink_reserve_available() {
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    return true;
#else
    return false;
#endif
}

bool sink_reserve(FileSink* s, int64_t offset, int64_t n) {
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    if (s->failed || (s->temp == nullptr && !s->regular) || offset < 0 || n <= 0) return false;
    const int fd = fileno(s->file);
    int done;
    do {
        done = fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(n));
    } while (done != 0 && errno == EINTR);
    // Without room part of the range may stay allocated: released as the rest.
    const bool none = done != 0 && (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL ||
                                    errno == ENODEV || errno == ESPIPE || errno == EBADF);
    if (!none && offset + n > s->reserved) s->reserved = offset + n;
    return done == 0;
#else
    (void)s;
    (void)offset;
    (void)n;
    return false;
#endif
}

struct SinkReserveTask {
    std::thread worker;
    std::atomic<bool> stop{false};
};

SinkReserveTask* sink_reserve_start(FileSink* s, int64_t n) {
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    if (s->failed || (s->temp == nullptr && !s->regular) || n <= 0) return nullptr;
    SinkReserveTask* task = new (std::nothrow) SinkReserveTask;
    if (task == nullptr) return nullptr;
    try {
        task->worker = std::thread([task, s, n] {
            for (int64_t at = 0; at < n && !task->stop.load(std::memory_order_relaxed); at += kReserveStep)
                if (!sink_reserve(s, at, n - at < kReserveStep ? n - at : kReserveStep)) return;
        });
    } catch (...) {  // no thread: the writes allocate the storage themselves
        delete task;
        return nullptr;
    }
    return task;
#else
    (void)s;
    (void)n;
    return nullptr;
#endif
}

void sink_reserve_finish(SinkReserveTask* task) {
    if (task == nullptr) return;
    task->stop.store(true, std::memory_order_relaxed);
    if (task->worker.joinable()) task->worker.join();
    delete task;
}

void sink_end_positional(FileSink* s, int64_t offset) {
#if defined(_WIN32)
    (void)offset;
    s->failed = true;  // never begun there
#else
    if (fseeko(s->file, static_cast<off_t>(offset), SEEK_SET) != 0) s->failed = true;
#endif
}

int32_t sink_close(FileSink* s, const char* path) {
    if (s->file == nullptr) {
        release(s);
        return kStatusWriteFailed;
    }
    bool failed = s->failed || std::fflush(s->file) != 0 || std::ferror(s->file) != 0;
    if (!failed && !release_reserved(s)) failed = true;
    // The new file's bytes reach the device before its name replaces the old one.
    if (!failed && s->temp != nullptr && sync_file(s->file) != 0) failed = true;
    orv_stat_t opened;
    const bool have_opened = s->regular && ORV_FSTAT(ORV_FILENO(s->file), &opened) == 0;
    int saved = errno;
    if (std::fclose(s->file) != 0) {
        failed = true;
        saved = errno;
    }
    s->file = nullptr;
    if (s->temp != nullptr) {
        if (!failed && replace_file(s->temp, s->target) != 0) {
            failed = true;
            saved = errno;
        }
        if (failed) std::remove(s->temp);
    } else if (failed && have_opened) {
        remove_if_opened(path, opened);
    }
    release(s);
    errno = saved;  // the caller may report the error of the failed write
    return failed ? kStatusWriteFailed : kStatusOk;
}

std::tm local_time_now() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
#if defined(_WIN32)
    localtime_s(&t, &now);
#else
    localtime_r(&now, &t);
#endif
    return t;
}
