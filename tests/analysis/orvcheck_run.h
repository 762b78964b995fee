// orvcheck's command line run in process, for the receiver's tests.
#pragma once
#include <sstream>
#include <string>
#include <vector>

#include "orvcheck.h"

namespace orv_test {

// Exit status and the text written to standard output and error.
struct CheckRun {
    int status;
    std::string out, err;
};

// orvcheck_main with args after the program name.
inline CheckRun orvcheck(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"orvcheck"};
    for (const auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int status = orvcheck_main(static_cast<int>(argv.size()), argv.data(), out, err);
    return {status, out.str(), err.str()};
}

}  // namespace orv_test
