#include "settings_file.h"

#include "file_sink.h"
#include "status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// The C run time's descriptors: binary mode (no CR LF translation), no
// O_NONBLOCK, O_NOCTTY or O_CLOEXEC.
constexpr int kOpenRead = O_RDONLY | O_BINARY;
constexpr int kFolderAccess = W_OK;
#else
// O_NONBLOCK: should something else have been put at the path since the
// test, opening it must not wait (a FIFO without a writer).
constexpr int kOpenRead = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
constexpr int kFolderAccess = W_OK | X_OK;
#endif

// Closes a descriptor on every way out.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

int ReadRegularFile(const std::string& path, std::string& text) {
    text.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR ? kReadMissing : kReadUnreadable;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return kReadUnreadable;
    }
    Fd f;
    f.fd = ::open(path.c_str(), kOpenRead);
    if (f.fd < 0) return kReadUnreadable;
    if (::fstat(f.fd, &st) != 0) return kReadUnreadable;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return kReadUnreadable;
    }
    // Read straight into the text; a file that grows meanwhile is read to its end.
    // One too large for memory is unreadable, not a crash of the caller.
    size_t size = 0;
    try {
        text.resize(static_cast<size_t>(st.st_size) + 1);
        for (;;) {
            if (size == text.size()) text.resize(text.size() * 2);
            const auto n = ::read(f.fd, text.data() + size, static_cast<unsigned>(std::min<size_t>(text.size() - size, 1u << 30)));
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR) continue;
                text.clear();
                return kReadUnreadable;
            }
            size += static_cast<size_t>(n);
        }
    } catch (const std::exception&) {
        std::string().swap(text);
        errno = ENOMEM;
        return kReadUnreadable;
    }
    text.resize(size);
    return kReadOk;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& text, int& errno_out) {
    return ReplaceFileAtomically(
        path, [&](const std::function<bool(std::string_view)>& write) { return write(text); }, errno_out);
}

bool ReplaceFileAtomically(const std::string& path,
                           const std::function<bool(const std::function<bool(std::string_view)>& write)>& produce,
                           int& errno_out) {
    // The project's one file replacement (file_sink.h), without the waveform
    // files' direct writing of devices and in-place rewriting.
    errno_out = 0;
    FileSink sink;
    if (sink_open(path.c_str(), true, &sink, kSinkReplaceOnly) != kStatusOk) {
        errno_out = errno != 0 ? errno : EIO;
        return false;
    }
    const bool produced = produce([&](std::string_view piece) {
        sink_write(&sink, piece.data(), piece.size());
        return !sink.failed;
    });
    const int error = errno;
    if (!produced) sink.failed = true;
    const bool closed = sink_close(&sink, path.c_str()) == kStatusOk;
    if (produced && closed) return true;
    errno_out = !produced && error != 0 ? error : (errno != 0 ? errno : EIO);
    return false;
}

std::string UserSettingsFolder() {
#ifdef _WIN32
    const char* appdata = std::getenv("APPDATA");
    if (appdata != nullptr && *appdata != '\0') return std::string(appdata) + "\\Orvane";
    return std::string();
#else
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/Orvane";
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return std::string(home) + "/.config/Orvane";
    return std::string();
#endif
}

bool FolderWritable(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return ::access(folder.c_str(), kFolderAccess) == 0;
}

SettingsLocation LocateSettings(const std::string& program_dir, bool program_dir_writable,
                                const std::string& user_folder) {
    const std::string beside = (fs::path(program_dir) / kSettingsFileBaseName).string();
    if (program_dir_writable || user_folder.empty()) return {beside, beside, true};
    const std::string user = (fs::path(user_folder) / kSettingsFileBaseName).string();
    std::error_code ec;
    const bool user_file = fs::exists(fs::symlink_status(user, ec)) && !ec;
    return {user_file ? user : beside, user, false};
}

SettingsLocation LocateSettings(const std::string& program_dir) {
    return LocateSettings(program_dir, FolderWritable(program_dir), UserSettingsFolder());
}

bool CreateParentFolder(const std::string& path) {
    const fs::path dir = fs::path(path).parent_path();
    if (dir.empty()) return true;
    std::error_code ec;
    fs::create_directories(dir, ec);
    return !ec && fs::is_directory(dir, ec);
}
