#include "file_sink.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#if defined(_WIN32)
#include <io.h>
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

constexpr size_t kBufferSize = 1 << 20;

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

}  // namespace

int32_t sink_open(const char* path, bool binary, FileSink* s) {
    *s = FileSink{nullptr, false, false};
    std::FILE* f = std::fopen(path, binary ? "wb" : "w");
    if (f == nullptr) return 1;
    std::setvbuf(f, nullptr, _IOFBF, kBufferSize);
    orv_stat_t st;
    s->regular = ORV_FSTAT(ORV_FILENO(f), &st) == 0 && (st.st_mode & S_IFMT) == S_IFREG;
    s->file = f;
    return 0;
}

void sink_write(FileSink* s, const void* data, size_t n) {
    if (s->failed || n == 0) return;
    if (std::fwrite(data, 1, n, s->file) != n) s->failed = true;
}

int32_t sink_close(FileSink* s, const char* path) {
    if (s->file == nullptr) return 1;
    bool failed = s->failed || std::fflush(s->file) != 0 || std::ferror(s->file) != 0;
    orv_stat_t opened;
    bool have_opened = s->regular && ORV_FSTAT(ORV_FILENO(s->file), &opened) == 0;
    int saved = errno;
    if (std::fclose(s->file) != 0) {
        failed = true;
        saved = errno;
    }
    s->file = nullptr;
    if (failed && have_opened) remove_if_opened(path, opened);
    errno = saved;  // the caller may report the error of the failed write
    return failed ? 1 : 0;
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
