// The settings file at start-up and at closing with a 100 MB file, and the
// cleaning of a 100 000-character paste: goals under 2 s per load or save,
// well under a second per paste.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "MainFormCore.h"
#include "mdlPrmInput.h"
#include "mdlPublicIniRW.h"

namespace {

// A 100 MB settings file whose first section holds a million foreign entries
// ahead of the program's own, so every lookup runs through all of them.
const std::string& LargeSettingsFile() {
    static const std::string path = [] {
        char tmpl[] = "/tmp/orv_bench_ini_XXXXXX";
        const char* dir = mkdtemp(tmpl);
        if (dir == nullptr) std::abort();
        std::string p = std::string(dir) + "/PrmOrvane.ini";
        std::string text = "[SET UP]\n";
        const std::string filler(84, 'x');
        for (int i = 0; text.size() < 100u * 1000u * 1000u; ++i) {
            text += "FOREIGN KEY " + std::to_string(1000000 + i) + "=" + filler + "\n";
        }
        text += "DATA RATE=7\nPN SEED=1A2B\n";
        std::FILE* f = std::fopen(p.c_str(), "wb");
        if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) std::abort();
        std::fclose(f);
        return p;
    }();
    return path;
}

void BM_LoadSettings100MB(benchmark::State& state) {
    const std::string& path = LargeSettingsFile();
    for (auto _ : state) {
        FieldValues v;
        DefaultFieldValues(v);
        LoadPrmIni(path, v);
        if (v.list[kCmbRate] != 7) state.SkipWithError("DATA RATE not read");
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_LoadSettings100MB)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SaveSettings100MB(benchmark::State& state) {
    const std::string& path = LargeSettingsFile();
    FieldValues v;
    DefaultFieldValues(v);
    v.list[kCmbRate] = 7;
    v.text[kTxtSeedPN] = "1A2B";
    v.samp_rate_caption = "160 Msps";
    for (auto _ : state) {
        if (SavePrmIni(path, v) != IniStatus::kOk) state.SkipWithError("save failed");
    }
}
BENCHMARK(BM_SaveSettings100MB)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_CleanPaste100k(benchmark::State& state) {
    std::u32string pasted;
    for (int i = 0; i < 50000; ++i) pasted += U"a1";
    for (auto _ : state) {
        std::u32string cleaned;
        int32_t rejects = 0;
        CleanField(kTxtnOFDM, pasted, cleaned, rejects);
        benchmark::DoNotOptimize(cleaned);
    }
}
BENCHMARK(BM_CleanPaste100k)->Unit(benchmark::kMicrosecond);

}  // namespace
