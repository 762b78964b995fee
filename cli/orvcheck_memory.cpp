#include "orvcheck_memory.h"

#include <cmath>

#include "analysis.h"
#include "orvcheck.h"

int orvcheck_samples(const std::complex<double>* x, size_t n, const std::string& name, const MemoryCheck& check,
                     std::string& json, std::string& error) {
    json.clear();
    error.clear();
    if (check.expect_packets < -1 || check.expect_packets > 100000000) {
        error = "--expect " + std::to_string(check.expect_packets) + " is not in 0..100000000";
        return kCheckUsage;
    }
    orv::analysis::Options opt;
    if (std::string e = orv::analysis::parse_command_options(check.options, opt); !e.empty()) {
        error = e;
        return kCheckUsage;
    }
    if (check.expect_packets >= 0) opt.expected_packets = check.expect_packets;
    opt.figures_without_burst = true;
    for (size_t k = 0; k < n; ++k)
        if (!std::isfinite(x[k].real()) || !std::isfinite(x[k].imag())) {
            error = name + ": sample " + std::to_string(k) + " is not a finite number";
            return kCheckUnreadable;
        }
    try {
        const orv::analysis::Result r = orv::analysis::analyse_samples(x, n, name, opt);
        if (r.no_burst && r.pass()) {
            error = name + ": " + *r.no_burst;
            return kCheckUnreadable;
        }
        json = orv::analysis::format_json(r, -1, check.with_psdu);
        return r.pass() ? kCheckPass : kCheckFailed;
    } catch (const orv::analysis::ReadError& e) {
        error = name + ": " + e.what();
    } catch (const orv::analysis::AnalysisError& e) {
        error = name + ": " + e.what();
    }
    return kCheckUnreadable;
}
