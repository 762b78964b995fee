// orvgen's command line run in process or as the built program, for the
// orvgen tests.
#pragma once
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "orvgen.h"
#include "support/files.h"

namespace orv_test {

// Exit status and the text written to standard output and error.
struct CliRun {
    int status;
    std::string out, err;
};

// orvgen_main with args after the program name.
inline CliRun orvgen(std::vector<std::string> args) {
    args.insert(args.begin(), "orvgen");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int status = orvgen_main(static_cast<int>(argv.size()), argv.data(), out, err);
    return {status, out.str(), err.str()};
}

#ifdef ORVGEN_PROGRAM_FILE
// The built program (ORVGEN_PROGRAM_FILE) with args (shell words) in a fresh
// process; its standard output and error pass through files in dir.
inline CliRun orvgen_program(const TempDir& dir, const std::string& args) {
    const std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
    const int rc = std::system((std::string(ORVGEN_PROGRAM_FILE) + " " + args + " >" + out + " 2>" + err).c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, read_file(out), read_file(err)};
}
#endif

}  // namespace orv_test
