// Command-line arguments as narrow strings in the system code page, the
// encoding in which orv_11a_actual takes its file name.
#pragma once
#include <string>
#include <vector>

// The program's arguments for the library and the settings file. On Windows
// they are read from the wide (UTF-16) command line and converted to the ANSI
// code page; false, with a message in problem, when an argument has a
// character that the code page cannot hold, since no narrow name could reach
// that file. Elsewhere argv is taken as it is.
bool NarrowArguments(int argc, char** argv, std::vector<std::string>& args, std::string& problem);

#if defined(_WIN32)
// Converts one UTF-16 text to code page cp; false when a character has no
// exact counterpart there (no best-fit look-alikes).
bool NarrowText(const wchar_t* text, unsigned cp, std::string& out);
#endif
