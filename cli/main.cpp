#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "narrow_args.h"
#include "orvgen.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");  // messages may use the user's locale; files never do
#if defined(SIGPIPE)
    // A reader that has gone (orvgen ... | head) is a write error to report, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::vector<std::string> args;
    std::string problem;
    if (!NarrowArguments(argc, argv, args, problem)) {
        std::cerr << "orvgen: " << problem << "\n";
        return kExitUsage;
    }
    std::vector<const char*> pointers;
    for (const std::string& a : args) pointers.push_back(a.c_str());
    pointers.push_back(nullptr);
    int status = orvgen_main(static_cast<int>(args.size()), pointers.data(), std::cout, std::cerr);
    std::cout.flush();
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::cerr << "orvgen: cannot write to standard output: " << std::strerror(errno) << "\n";
        if (status == kExitWritten) status = kExitNotWritten;
    }
    return status;
}
