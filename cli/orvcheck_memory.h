// orvcheck on samples in memory: the JSON object orvcheck --json prints for a
// CSV file holding the same samples, without the file.
#pragma once
#include <complex>
#include <cstddef>
#include <string>
#include <vector>

#include "command_options.h"

// What orvcheck's command line would add to the file name.
struct MemoryCheck {
    std::vector<orv::analysis::GivenOption> options;  // the receiver's options by name ("sample-rate", "20")
    int expect_packets = -1;                          // --expect N (0..100000000), -1 when not given
    bool with_psdu = false;                           // --psdu
};

// Measures n samples as orvcheck --json measures a CSV file of them; name stands for the
// file's path in the report. Returns orvcheck's exit status: for kCheckPass and kCheckFailed
// json holds the object (no line end), for kCheckUsage and kCheckUnreadable error the message.
// Throws std::bad_alloc when memory runs out.
int orvcheck_samples(const std::complex<double>* x, size_t n, const std::string& name, const MemoryCheck& check,
                     std::string& json, std::string& error);
