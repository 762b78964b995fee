// orvcheck: reads an 802.11a waveform file back and measures it as a
// transmitter tester would.
#pragma once
#include <ostream>
#include <string>

namespace orv::analysis {
struct Result;
}

// Exit statuses.
enum OrvcheckExit : int {
    kCheckPass = 0,
    kCheckUsage = 1,       // bad command line
    kCheckUnreadable = 2,  // not a waveform file, or no burst in it
    kCheckFailed = 3,      // read and measured; a check failed
    kCheckPlotsFailed = 4  // --plots: an image could not be written
};

// Writes the viewer's five views of r into a folder (--plots); returns 0 or kCheckPlotsFailed
// after a message on err.
using PlotWriter = int (*)(const orv::analysis::Result& r, const std::string& dir, std::ostream& err);

// Runs orvcheck on argv; the report goes to out, messages to err. Returns the exit status.
// Without a plot writer (a build without the viewer) --plots is refused.
int orvcheck_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err, PlotWriter plots = nullptr);
