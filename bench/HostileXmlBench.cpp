// What an attribute bomb costs now that documents from callers and servers
// are counted before libxml2 builds the tree, against peers measured in the
// same run:
//   BM_RefuseAttributeBomb/N: install data whose root holds N attributes,
//     loaded with the install-data limits (refused by the count);
//   BM_ParseUnlimitedBomb/N: the same text parsed without limits (libxml2's
//     cost, which grows with the square of N: keep N small);
//   BM_ParsePeer/N: a document of the same size made of small elements,
//     parsed with limits (what an ordinary document of that size costs);
//   BM_CountOnly/N: the count alone over that peer document (its share of
//     the peer's parse).
// Goal: refusing a bomb costs no more than parsing an ordinary document of
// its size (BM_RefuseAttributeBomb / BM_ParsePeer <= 1).
#include <benchmark/benchmark.h>

#include <string>

#include "xml/mcXmlAttributeLimits.h"
#include "xml/mcXmlExc.h"
#include "xml/miXMLDOMDocument.h"

namespace {

std::string Bomb(std::int64_t n) {
    std::string text = "<InstallData name=\"codec\"";
    for (std::int64_t i = 0; i < n; ++i) text += " a" + std::to_string(i) + "=\"v\"";
    return text + "/>";
}

// About as long as Bomb(n), in elements of three attributes.
std::string Peer(std::int64_t n) {
    const std::size_t nSize = Bomb(n).size();
    std::string text = "<InstallData name=\"codec\">";
    for (int i = 0; text.size() < nSize; ++i) text += "<e n=\"" + std::to_string(i) + "\" v=\"x\" w=\"y\"/>";
    return text + "</InstallData>";
}

void BM_RefuseAttributeBomb(benchmark::State& state) {
    const std::string text = Bomb(state.range(0));
    miXMLDOMDocument doc;
    doc.SetAttributeLimits(mcXmlAttributeLimits::InstallData());
    for (auto _ : state) {
        try {
            doc.loadXML(text);
            state.SkipWithError("loaded");
        } catch (const mcXmlExc&) {
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_RefuseAttributeBomb)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_ParseUnlimitedBomb(benchmark::State& state) {
    const std::string text = Bomb(state.range(0));
    miXMLDOMDocument doc;
    for (auto _ : state) doc.loadXML(text);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseUnlimitedBomb)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_ParsePeer(benchmark::State& state) {
    const std::string text = Peer(state.range(0));
    miXMLDOMDocument doc;
    doc.SetAttributeLimits(mcXmlAttributeLimits(1u << 30));
    for (auto _ : state) doc.loadXML(text);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParsePeer)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_CountOnly(benchmark::State& state) {
    const std::string text = Peer(state.range(0));
    const mcXmlAttributeLimits limits(1u << 30);
    for (auto _ : state) {
        std::string strReason;
        int nLine = 0;
        benchmark::DoNotOptimize(limits.Check(text, strReason, nLine));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_CountOnly)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
