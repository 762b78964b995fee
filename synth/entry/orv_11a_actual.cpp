// The library's entries: the exported orv_11a_actual and the internal ones of
// the project's own tools, all serialised by one lock.
#include <cstdlib>
#include <mutex>

#include "orvasynth.h"
#include "pipeline.h"
#include "validate.h"

namespace {

// Serialises calls: the FFT's table cache, the noise generator's shuffle table
// and the writers' temporary names are process-wide.
std::mutex g_call_lock;

}  // namespace

std::mutex& library_call_lock() { return g_call_lock; }

int32_t orv_11a_generate(WaveParams* params, int32_t output_mode, const char* path,
                         const GenerateOptions& options) {
    if (params == nullptr) return static_cast<int32_t>(ORV_INVALID);  // no record to check
    // No exception may reach the caller; the stages throw none, and memory
    // that runs out where the standard library allocates is reported as such.
    try {
        std::lock_guard<std::mutex> hold(g_call_lock);
        // 1. Validation: nothing is allocated or written for a bad record.
        const int32_t mask = validate_params(params, output_mode);
        if (mask != 0) return mask;
        if (path == nullptr) return ORV_WRITE_FAILED;
        return generate(params, CallOutput{output_mode, path, nullptr, nullptr, nullptr}, options);
    } catch (...) {
        return ORV_NO_MEMORY;
    }
}

int32_t orv_11a_conditioned(WaveParams* params, ConditionedSamples* out) {
    *out = ConditionedSamples{};
    if (params == nullptr) return static_cast<int32_t>(ORV_INVALID);
    try {
        std::lock_guard<std::mutex> hold(g_call_lock);
        const int32_t mask = validate_params(params, 1);
        if (mask != 0) return mask;
        return generate(params, CallOutput{1, nullptr, out, nullptr, nullptr}, GenerateOptions{});
    } catch (...) {
        free_conditioned(out);
        return ORV_NO_MEMORY;
    }
}

int32_t orv_11a_conditioned_blocks(WaveParams* params, ConditionedSamples* out,
                                   SampleBlockFn take, void* context,
                                   const GenerateOptions& options) {
    *out = ConditionedSamples{};
    if (params == nullptr || take == nullptr) return static_cast<int32_t>(ORV_INVALID);
    try {
        std::lock_guard<std::mutex> hold(g_call_lock);
        const int32_t mask = validate_params(params, 1);
        if (mask != 0) return mask;
        return generate(params, CallOutput{1, nullptr, out, take, context}, options);
    } catch (...) {
        return ORV_NO_MEMORY;
    }
}

void free_conditioned(ConditionedSamples* c) {
    std::free(c->block);
    c->i = c->q = nullptr;
    c->block = nullptr;
}

extern "C" ORV_API int32_t ORV_CALL orv_11a_actual(WaveParams* params, int32_t output_mode,
                                                   const char* path) {
    return orv_11a_generate(params, output_mode, path, GenerateOptions{});
}
