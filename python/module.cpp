// _orvane: the compiled part of the Python module orvane. It converts
// arguments, runs the library, orvgen and the measuring receiver with the GIL
// released, and hands the samples over as numpy arrays (one copy, from the
// library's blocks into the array's memory).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <complex>
#include <cstdlib>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "convert.h"
#include "orvcheck.h"
#include "orvcheck_memory.h"
#include "orvgen.h"
#include "pipeline.h"

namespace py = pybind11;
using namespace orvane_py;

namespace {

// Interleaved I/Q samples in one malloc block, as the array's memory.
struct SampleBuffer {
    double* iq = nullptr;
    int64_t count = 0;
    bool no_memory = false;

    // Allocates count samples once; false when memory ran out.
    bool allocate(int64_t n) {
        if (iq != nullptr) return true;
        count = n;
        iq = static_cast<double*>(std::malloc(static_cast<size_t>(n > 0 ? n : 1) * 2 * sizeof(double)));
        no_memory = iq == nullptr;
        return !no_memory;
    }
    // Copies samples first..first+n-1; false when they fall outside the buffer.
    bool put(int64_t first, int32_t n, const double* i, const double* q) {
        if (first < 0 || n < 0 || first + n > count) return false;
        double* out = iq + 2 * first;
        for (int32_t k = 0; k < n; ++k) {
            out[2 * k] = i[k];
            out[2 * k + 1] = q[k];
        }
        return true;
    }
    // The samples as a complex128 array that owns the block.
    py::array_t<std::complex<double>> release() {
        if (iq == nullptr && !allocate(0)) throw std::bad_alloc();
        py::capsule owner(iq, [](void* p) { std::free(p); });
        auto* data = reinterpret_cast<std::complex<double>*>(iq);
        iq = nullptr;
        return py::array_t<std::complex<double>>({static_cast<py::ssize_t>(count)}, data, owner);
    }
    ~SampleBuffer() { std::free(iq); }
};

// The burst's taker: the geometry is known from the first block on.
struct BurstTake {
    const ConditionedSamples* head;
    SampleBuffer buffer;
};

bool take_burst(void* context, int64_t first, int32_t n, const double* i, const double* q) {
    auto* t = static_cast<BurstTake*>(context);
    if (!t->buffer.allocate(t->head->geometry.total)) return false;
    return t->buffer.put(first, n, i, q);
}

py::tuple burst_samples(const py::dict& fields) {
    WaveParams rec = record_from_fields(fields);
    ConditionedSamples head{};
    BurstTake take{&head, {}};
    int32_t rc;
    {
        py::gil_scoped_release unlocked;
        rc = orv_11a_conditioned_blocks(&rec, &head, take_burst, &take);
    }
    if (rc == ORV_NO_MEMORY || take.buffer.no_memory) throw std::bad_alloc();
    if (static_cast<uint32_t>(rc) & ORV_INVALID) throw py::value_error(refused_fields(static_cast<uint32_t>(rc), rec));
    if (rc != ORV_OK && rc != ORV_LENGTH_OVERFLOW) throw std::runtime_error("library result " + std::to_string(rc));
    if (take.buffer.iq == nullptr) take.buffer.count = 0;  // no samples: nothing was handed over
    py::dict figures;
    figures["papr"] = rec.papr;
    figures["crest_i"] = rec.crest_i;
    figures["crest_q"] = rec.crest_q;
    figures["sample_rate"] = head.geometry.fs;
    figures["length_overflow"] = rc == ORV_LENGTH_OVERFLOW;
    return py::make_tuple(take.buffer.release(), figures);
}

// The sequence's taker: the total is in the settings from the first block on.
struct SequenceTake {
    const OrvSequenceParams* params;
    SampleBuffer buffer;
};

int32_t take_sequence(void* context, int64_t first, int32_t n, const double* i, const double* q) {
    auto* t = static_cast<SequenceTake*>(context);
    if (!t->buffer.allocate(t->params->total_samples)) return 1;
    return t->buffer.put(first, n, i, q) ? 0 : 1;
}

py::tuple frame_sequence(const py::dict& keywords, const py::object& description_text, const std::string& description_base,
                 const py::object& description_path) {
    const FrameRequest request = frame_request(keywords, description_text, description_base, description_path);
    FrameJob job;
    std::vector<int64_t> starts;
    SequenceTake take{&job.params, {}};
    int32_t rc = ORV_OK;
    std::string refused;
    {
        py::gil_scoped_release unlocked;
        refused = frame_job(request, job);
        if (refused.empty()) {
            starts.assign(job.packets.size(), 0);
            rc = orv_11a_sequence_blocks(&job.params, job.packets.data(), static_cast<int32_t>(job.packets.size()),
                                         take_sequence, &take, starts.data());
        }
    }
    if (!refused.empty()) throw py::value_error(refused);
    if (rc == ORV_NO_MEMORY || take.buffer.no_memory) throw std::bad_alloc();
    if (static_cast<uint32_t>(rc) & ORV_INVALID)
        throw py::value_error(refused_sequence(static_cast<uint32_t>(rc), job.params.bad_packet));
    if (rc != ORV_OK) throw std::runtime_error("library result " + std::to_string(rc));
    static const int kMbps[8] = {6, 9, 12, 18, 24, 36, 48, 54};
    py::list packets;
    for (size_t k = 0; k < job.packets.size(); ++k) {
        py::dict p;
        p["start"] = starts[k];
        p["rate"] = kMbps[job.packets[k].rate_index];
        p["length"] = job.packets[k].psdu_length;
        p["scrambler"] = job.packets[k].scrambler_init;
        p["seq"] = job.sequence_numbers[k] < 0 ? py::object(py::none()) : py::object(py::int_(job.sequence_numbers[k]));
        packets.append(p);
    }
    if (take.buffer.iq == nullptr) take.buffer.count = 0;
    return py::make_tuple(take.buffer.release(), packets);
}

using MainFn = int (*)(int, const char* const*, std::ostream&, std::ostream&);

// Runs a tool's main on args (args[0] the program's name): (status, out, err).
// alone: one such run at a time (orvgen --json moves the process's standard
// output aside around the library call, which two runs at once would tangle).
std::tuple<int, std::string, std::string> run_main(MainFn main, const std::vector<std::string>& args, bool alone) {
    static std::mutex one_at_a_time;
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    std::ostringstream out, err;
    int status;
    {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::mutex> hold(one_at_a_time, std::defer_lock);
        if (alone) hold.lock();
        status = main(static_cast<int>(args.size()), argv.data(), out, err);
    }
    return {status, out.str(), err.str()};
}

int orvcheck_without_plots(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    return orvcheck_main(argc, argv, out, err, nullptr);
}

std::tuple<int, std::string, std::string> check_samples(
    const py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>& x,
    const std::vector<std::pair<std::string, std::string>>& options, int expect, bool psdu) {
    if (x.ndim() != 1) throw py::value_error("samples must be a one-dimensional array");
    MemoryCheck c;
    for (const auto& [name, text] : options) c.options.push_back({name, text});
    c.expect_packets = expect;
    c.with_psdu = psdu;
    std::string json, error;
    int status;
    {
        py::gil_scoped_release unlocked;
        status = orvcheck_samples(x.data(), static_cast<size_t>(x.size()), "<array>", c, json, error);
    }
    return {status, json, error};
}

}  // namespace

PYBIND11_MODULE(_orvane, m) {
    m.doc() = "The compiled part of orvane; use the package orvane.";
    m.attr("__version__") = ORVANE_VERSION;
    m.def("burst", &burst_samples, py::arg("fields"), "The burst of a record's fields: (samples, figures).");
    m.def("frames", &frame_sequence, py::arg("keywords"), py::arg("description_text"), py::arg("description_base"),
          py::arg("description_path"), "A frame sequence: (samples, packets).");
    m.def("default_fields", [] { return record_fields(default_record()); }, "The record of Set Defaults as a dict.");
    m.def("run_orvgen", [](const std::vector<std::string>& args) { return run_main(&orvgen_main, args, true); },
          py::arg("args"), "orvgen in this process: (status, stdout, stderr).");
    m.def("run_orvcheck", [](const std::vector<std::string>& args) { return run_main(&orvcheck_without_plots, args, false); },
          py::arg("args"), "orvcheck in this process: (status, stdout, stderr).");
    m.def("receiver_options", [] {
        std::vector<std::string> names;
        for (const orv::analysis::CommandOption& o : orv::analysis::command_options()) {
            names.push_back(o.name);
            if (o.alias) names.push_back(o.alias);
        }
        return names;
    }, "The receiver's option names (orvcheck's, without the dashes).");
    m.def("check_samples", &check_samples, py::arg("samples"), py::arg("options"), py::arg("expect"), py::arg("psdu"),
          "orvcheck --json on samples in memory: (status, json, error).");
}
