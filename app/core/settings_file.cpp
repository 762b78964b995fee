#include "settings_file.h"

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
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// The C run time's descriptors: binary mode (no CR LF translation), no
// O_NONBLOCK, O_NOCTTY or O_CLOEXEC, no fchmod (the replaced file's attributes
// are the folder's defaults), _commit for fsync, and a rename that replaces.
constexpr int kOpenRead = O_RDONLY | O_BINARY;
constexpr int kOpenCreate = O_WRONLY | O_CREAT | O_EXCL | O_BINARY;
constexpr int kFolderAccess = W_OK;
int SyncFile(int fd) { return ::_commit(fd); }
int KeepMode(int, unsigned) { return 0; }
int ReplaceName(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    errno = EACCES;
    return -1;
}
#else
// O_NONBLOCK: should something else have been put at the path since the
// test, opening it must not wait (a FIFO without a writer).
constexpr int kOpenRead = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
constexpr int kOpenCreate = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
constexpr int kFolderAccess = W_OK | X_OK;
int SyncFile(int fd) { return ::fsync(fd); }
int KeepMode(int fd, unsigned mode) { return ::fchmod(fd, mode & 07777); }
int ReplaceName(const char* from, const char* to) { return ::rename(from, to); }
#endif

// Closes a descriptor on every way out.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// The file a chain of symbolic links ends at (the path itself when it is none);
// false when the chain loops or cannot be read.
bool FollowLinks(const std::string& path, std::string& target) {
    fs::path p(path);
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code ec;
        const fs::file_status st = fs::symlink_status(p, ec);
        if (ec || !fs::is_symlink(st)) {
            target = p.string();
            return true;
        }
        fs::path next = fs::read_symlink(p, ec);
        if (ec) return false;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return false;
}

bool WriteAll(int fd, std::string_view text) {
    size_t done = 0;
    while (done < text.size()) {
        const auto n = ::write(fd, text.data() + done, static_cast<unsigned>(std::min<size_t>(text.size() - done, 1u << 30)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

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
    errno_out = 0;
    std::string target;
    if (!FollowLinks(path, target)) {
        errno_out = ELOOP;
        return false;
    }
    struct stat st {};
    bool existed = false;
    if (::stat(target.c_str(), &st) == 0) {
        existed = true;
        if (!S_ISREG(st.st_mode)) {
            errno_out = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            return false;
        }
        if (::access(target.c_str(), W_OK) != 0) {
            errno_out = errno;
            return false;
        }
    } else if (errno != ENOENT) {
        errno_out = errno;
        return false;
    }

    const fs::path dir = fs::path(target).parent_path();
    const std::string prefix = (dir.empty() ? fs::path(".") : dir).string() + "/." +
                               fs::path(target).filename().string() + ".";
    std::random_device rd;
    std::string temp;
    Fd f;
    for (int attempt = 0; attempt < 100 && f.fd < 0; ++attempt) {
        temp = prefix + std::to_string(rd() % 1000000000u) + ".tmp";
        f.fd = ::open(temp.c_str(), kOpenCreate, 0666);
        if (f.fd < 0 && errno != EEXIST) break;
    }
    if (f.fd < 0) {
        errno_out = errno;
        return false;
    }
    bool ok = produce([&](std::string_view piece) { return WriteAll(f.fd, piece); });
    if (ok && existed && KeepMode(f.fd, static_cast<unsigned>(st.st_mode)) != 0) ok = false;
    if (ok && SyncFile(f.fd) != 0) ok = false;
    if (!ok) errno_out = errno;
    const int fd = f.fd;
    f.fd = -1;
    if (::close(fd) != 0 && ok) {
        ok = false;
        errno_out = errno;
    }
    if (ok && ReplaceName(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        errno_out = errno;
    }
    if (!ok) ::unlink(temp.c_str());
    return ok;
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
