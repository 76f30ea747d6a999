// Costs of the text functions that sit on hot paths: case-insensitive name
// comparison (registry and configuration lookups among many siblings), case
// folding, URL encoding of request parameters and code page conversion.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "base/StrConv.h"
#include "base/StrUtils.h"

namespace {

const std::string kAsciiA = "software\\Tavrolin, Inc.\\componentMgr\\Clients\\JukeboxPlayer";
const std::string kAsciiB = "SOFTWARE\\TAVROLIN, INC.\\COMPONENTMGR\\CLIENTS\\JUKEBOXPLAYER";
const std::string kGreekA = "\xCE\xA3\xCE\xB1\xCF\x82 \xC3\x89t\xC3\xA9 \xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xBF\xCF\x82";
const std::string kGreekB = "\xCF\x83\xCE\x91\xCE\xA3 \xC3\xA9T\xC3\x89 \xCE\x9A\xCF\x8C\xCE\xA3\xCE\x9C\xCE\x9F\xCE\xA3";

void BM_CompareNoCaseAscii(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(mfStrCompareNoCase(kAsciiA, kAsciiB));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kAsciiA.size()));
}
BENCHMARK(BM_CompareNoCaseAscii);

void BM_CompareNoCaseNonAscii(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(mfStrCompareNoCase(kGreekA, kGreekB));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kGreekA.size()));
}
BENCHMARK(BM_CompareNoCaseNonAscii);

// A lookup by name among n siblings that differ only at the end.
void BM_FindAmongSiblings(benchmark::State& state) {
    std::vector<std::string> names;
    for (int i = 0; i < state.range(0); ++i) names.push_back("Component" + std::to_string(i));
    const std::string wanted = "COMPONENT" + std::to_string(state.range(0) - 1);
    for (auto _ : state) {
        std::size_t found = 0;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (mfStrCompareNoCase(names[i], wanted) == 0) found = i;
        }
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_FindAmongSiblings)->Arg(10000);

void BM_FoldCase(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(mfStrFoldCase(kGreekB));
}
BENCHMARK(BM_FoldCase);

void BM_UrlEncode(benchmark::State& state) {
    const std::string text = "1.00.0073 Linux 6.1.0 Debian GNU/Linux 12 (bookworm) \xE2\x98\xBA";
    for (auto _ : state) benchmark::DoNotOptimize(mfUrlEncode(text, false));
}
BENCHMARK(BM_UrlEncode);

void BM_ConvertCp1252(benchmark::State& state) {
    const std::string bytes(4096, '\xE9');
    for (auto _ : state) benchmark::DoNotOptimize(mfConvertMBCSToWide(bytes, 1252));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ConvertCp1252);

void BM_ConvertUtf8Validate(benchmark::State& state) {
    std::string text;
    while (text.size() < 4096) text += kGreekA;
    for (auto _ : state) benchmark::DoNotOptimize(mfConvertMBCSToWide(text, CP_UTF8));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ConvertUtf8Validate);

}  // namespace

BENCHMARK_MAIN();
