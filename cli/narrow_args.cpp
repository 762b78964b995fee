#include "narrow_args.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>

bool NarrowText(const wchar_t* text, unsigned cp, std::string& out) {
    out.clear();
    const std::wstring wide(text);
    if (wide.empty()) return true;
    // UTF-8 holds every character; other code pages must not substitute.
    const DWORD flags = cp == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* used = cp == CP_UTF8 ? nullptr : &used_default;
    const int n = WideCharToMultiByte(cp, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, used);
    if (n <= 0) return false;
    out.resize(static_cast<size_t>(n));
    WideCharToMultiByte(cp, flags, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, used);
    if (used_default) return false;
    // The name must come back unchanged, as the file system will see it.
    const int m = MultiByteToWideChar(cp, 0, out.data(), n, nullptr, 0);
    if (m <= 0) return false;
    std::wstring back(static_cast<size_t>(m), L'\0');
    MultiByteToWideChar(cp, 0, out.data(), n, back.data(), m);
    return back == wide;
}

bool NarrowArguments(int argc, char** argv, std::vector<std::string>& args, std::string& problem) {
    args.clear();
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        args.assign(argv, argv + argc);
        return true;
    }
    const unsigned cp = GetACP();
    bool ok = true;
    for (int k = 0; k < count && ok; ++k) {
        std::string narrow;
        if (!NarrowText(wide[k], cp, narrow)) {
            ok = false;
            // Shown in the code page with '?' for what it cannot hold (argv
            // would show best-fit look-alikes, as "O" for an omega).
            char shown[1024] = "";
            WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, wide[k], -1, shown, sizeof shown - 1, "?", nullptr);
            problem = "the argument \"" + std::string(shown) +
                      "\" has characters that the system code page (" + std::to_string(cp) +
                      ") cannot hold; file names reach the generator in that code page: "
                      "use a name made of its characters";
        }
        args.push_back(narrow);
    }
    LocalFree(wide);
    return ok;
}

#else

bool NarrowArguments(int argc, char** argv, std::vector<std::string>& args, std::string& problem) {
    (void)problem;
    args.assign(argv, argv + argc);
    return true;
}

#endif
