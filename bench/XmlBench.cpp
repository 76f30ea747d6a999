// XML wrapper costs at configuration-store sizes: lookups among N sibling
// components, parsing and saving such a document.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "xml/miXMLDOMDocument.h"

namespace {

std::string ConfigText(int components) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Config><ClientList>"
                       "<Client name=\"player\" version=\"4.0\" oem=\"x\" lang=\"en\"/></ClientList>";
    for (int i = 0; i < components; ++i) {
        const std::string name = "component" + std::to_string(i);
        text += "<Component name=\"" + name + "\" version=\"1.00.0073\"><State value=\"installed\">"
                "<installed version=\"1.00.0073\"/></State><ClientList><Client>player</Client>"
                "</ClientList><InstallPath>/opt/tavrolin/" + name + "</InstallPath></Component>";
    }
    text += "<Last/></Config>";
    return text;
}

void BM_FindDirectChild(benchmark::State& state) {
    miXMLDOMDocument doc;
    doc.loadXML(ConfigText(static_cast<int>(state.range(0))));
    miXMLDOMElement root = doc.GetDocumentElement();
    for (auto _ : state) {
        miXMLDOMElement found;
        benchmark::DoNotOptimize(root.FindDirectChild("Last", &found));  // after every sibling
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_FindDirectChild)->RangeMultiplier(10)->Range(100, 10000)->Complexity(benchmark::oN);

void BM_GetChildElementsByName(benchmark::State& state) {
    miXMLDOMDocument doc;
    doc.loadXML(ConfigText(static_cast<int>(state.range(0))));
    miXMLDOMElement root = doc.GetDocumentElement();
    for (auto _ : state) {
        std::vector<miXMLDOMElement> list;
        benchmark::DoNotOptimize(root.GetChildElementsByName("Component", &list));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_GetChildElementsByName)->RangeMultiplier(10)->Range(100, 10000)->Complexity(benchmark::oN);

// The store's component lookup: all "Component" elements, first by name.
void BM_FindComponentByName(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    miXMLDOMDocument doc;
    doc.loadXML(ConfigText(n));
    const std::string wanted = "component" + std::to_string(n - 1);
    for (auto _ : state) {
        for (const miXMLDOMElement& e : doc.GetElementsByTagName("Component")) {
            if (e.HasAttributeText("name", wanted)) {
                benchmark::DoNotOptimize(e.GetNode());
                break;
            }
        }
    }
    state.SetComplexityN(n);
}
BENCHMARK(BM_FindComponentByName)->RangeMultiplier(10)->Range(100, 10000)->Complexity(benchmark::oN);

void BM_GetChildElementByAttrVal(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    miXMLDOMDocument doc;
    doc.loadXML(ConfigText(n));
    miXMLDOMElement root = doc.GetDocumentElement();
    const std::string wanted = "component" + std::to_string(n / 2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(root.GetChildElementByAttrVal("Component", "name", wanted).GetNode());
    }
    state.SetComplexityN(n);
}
BENCHMARK(BM_GetChildElementByAttrVal)->RangeMultiplier(10)->Range(100, 10000)->Complexity(benchmark::oN);

// Subtree lookup inside one component (what every store operation does).
void BM_FindChildElementInComponent(benchmark::State& state) {
    miXMLDOMDocument doc;
    doc.loadXML(ConfigText(10000));
    miXMLDOMElement component = doc.GetDocumentElement().GetChildElementByAttrVal(
        "Component", "name", "component5000");
    for (auto _ : state) {
        std::string text;
        benchmark::DoNotOptimize(component.FindChildElementText("InstallPath", &text));
    }
}
BENCHMARK(BM_FindChildElementInComponent);

void BM_LoadXml(benchmark::State& state) {
    const std::string text = ConfigText(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        miXMLDOMDocument doc;
        doc.loadXML(text);
        benchmark::DoNotOptimize(doc.GetDocumentElement().GetNode());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_LoadXml)->RangeMultiplier(10)->Range(100, 10000)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// Includes the temporary file, fsync and rename.
void BM_Save(benchmark::State& state) {
    miXMLDOMDocument doc;
    doc.loadXML(ConfigText(static_cast<int>(state.range(0))));
    char dirTemplate[] = "/tmp/kettrin-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    const std::string path = dir + "/ComponentMgrConfig.xml";
    for (auto _ : state) doc.save(path);
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
}
BENCHMARK(BM_Save)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
