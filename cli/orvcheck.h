// orvcheck: reads an 802.11a waveform file back and measures it as a
// transmitter tester would.
#pragma once
#include <ostream>

// Exit statuses.
enum OrvcheckExit : int {
    kCheckPass = 0,
    kCheckUsage = 1,       // bad command line
    kCheckUnreadable = 2,  // not a waveform file, or no burst in it
    kCheckFailed = 3       // read and measured; a check failed
};

// Runs orvcheck on argv; the report goes to out, messages to err. Returns the exit status.
int orvcheck_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
