// The receiver's options on a command line (orvcheck, orvview): one table that
// both programs' parsers register, and one function that turns the texts given
// into Options. A new option is one more table row.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "analysis.h"

namespace orv::analysis {

// One option of the receiver on a command line.
struct CommandOption {
    const char* name;        // long name without the dashes ("oversample")
    const char* alias;       // a second long name, or nullptr
    const char* value_name;  // the value's name in --help ("N")
    const char* help;
    const char* needs;       // the option this one needs, or nullptr
    const char* excludes;    // the option this one cannot go with, or nullptr
    // Sets the option's field of options from text; returns "" or what is wrong with the text.
    std::string (*apply)(const std::string& text, Options& options);
};

// The options, in the order they are checked and listed.
std::span<const CommandOption> command_options();

// One option as given on the command line: its table name and its text.
struct GivenOption {
    std::string name;
    std::string text;
};

// Fills options from the given options; returns "" or the message for the user
// ("--rate 7 is not one of 6, 9, 12, 18, 24, 36, 48, 54"). A name not in the table is refused.
// path: the file the options are for, if known; what a recording says about itself
// (add_recording_description) completes the options before they are checked together,
// so "--frame free" needs no --rate for a recording that names its rate.
std::string parse_command_options(const std::vector<GivenOption>& given, Options& options,
                                  const std::string& path = std::string());

// Completes options with what the file at path says about itself: a SigMF
// recording that orvgen wrote names its frame format, rate, DATA symbols and
// oversampling. The options in given (set explicitly) win.
void add_recording_description(const std::string& path, const std::vector<GivenOption>& given, Options& options);

}  // namespace orv::analysis
