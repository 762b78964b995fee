// orvgen's command line run in process, for the orvgen tests.
#pragma once
#include <sstream>
#include <string>
#include <vector>

#include "orvgen.h"

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

}  // namespace orv_test
