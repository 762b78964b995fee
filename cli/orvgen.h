// orvgen: the generator of the Orvane program behind a command line, with the
// program's parameters, units, defaults, settings file and output files.
#pragma once
#include <ostream>

// Exit statuses.
enum OrvgenExit : int {
    kExitWritten = 0,
    kExitUsage = 1,       // bad command line (unknown option, not a number, ...)
    kExitRefused = 2,     // a value outside its field's range, or a validation mask
    kExitNotWritten = 3,  // the file could not be written (library result 4)
    kExitLibrary = 4,     // any other library failure
    kExitCheckFailed = 5  // written, but --check found a failed check or could not read it back
};

// Runs orvgen on argv; normal output goes to out, messages to err. Returns the exit status.
int orvgen_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
