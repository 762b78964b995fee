// File access of the settings file: reading only regular files (never
// opening a FIFO or a device in a way that blocks), replacing a file
// atomically, and where the file lives.
#pragma once
#include <functional>
#include <string>
#include <string_view>

// Result of reading a whole file.
enum ReadFileResult : int {
    kReadOk = 0,
    kReadMissing = 1,     // nothing at the path (or the test itself failed)
    kReadUnreadable = 2   // something there that cannot be read as a file: no
                          // permission, a folder, a FIFO, a device, an I/O error
};

// Reads the regular file at path (links followed) into text. When it is
// unreadable, errno tells why (EISDIR a folder, EINVAL another kind of file).
int ReadRegularFile(const std::string& path, std::string& text);

// Replaces the file at path by text with the guarantee of the library's file
// replacement (file_sink.h, kSinkReplaceOnly): a new file in the same folder,
// written, synced to the device and closed, then renamed over the path.
// Through a symbolic link the link's target is replaced; a replaced file
// keeps its permission bits; a new file gets 0666 less the umask. Fails
// (leaving what was there untouched) when the path holds something other than
// a regular file, when an existing file is not writable, or when any step
// fails; errno_out is then the operating system's error number.
bool ReplaceFileAtomically(const std::string& path, const std::string& text, int& errno_out);

// The same with the content given in pieces: produce calls write for each
// piece, in order, and returns false when write failed.
bool ReplaceFileAtomically(const std::string& path,
                           const std::function<bool(const std::function<bool(std::string_view)>& write)>& produce,
                           int& errno_out);

// Name of the settings file.
constexpr const char* kSettingsFileBaseName = "PrmOrvane.ini";

// Where the settings file of a program in program_dir is read and written.
struct SettingsLocation {
    std::string read_path;    // file the start-up loads (it may not exist)
    std::string write_path;   // file the save writes
    bool beside_program;      // true when both are the file beside the program
};

// The folder for user settings: $XDG_CONFIG_HOME/Orvane (an absolute
// XDG_CONFIG_HOME only), else $HOME/.config/Orvane; %APPDATA%\Orvane on
// Windows. Empty when none of them is set.
std::string UserSettingsFolder();

// True when files can be created in folder.
bool FolderWritable(const std::string& folder);

// The location rule: the file beside the program while the program's folder
// is writable (a portable copy, a build tree); otherwise PrmOrvane.ini in
// user_folder, which is also read at start-up when it exists; when it does
// not, a file beside the program still is.
SettingsLocation LocateSettings(const std::string& program_dir, bool program_dir_writable,
                                const std::string& user_folder);

// LocateSettings with the folder's writability and UserSettingsFolder().
SettingsLocation LocateSettings(const std::string& program_dir);

// Creates the folder of path (and its parents) when missing; false on failure.
bool CreateParentFolder(const std::string& path);
