#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "orvgen.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");  // messages may use the user's locale; files never do
    // A reader that has gone (orvgen ... | head) is a write error to report, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    int status = orvgen_main(argc, argv, std::cout, std::cerr);
    std::cout.flush();
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::cerr << "orvgen: cannot write to standard output: " << std::strerror(errno) << "\n";
        if (status == kExitWritten) status = kExitNotWritten;
    }
    return status;
}
