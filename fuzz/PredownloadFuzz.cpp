// Fuzz target: predownload requests. The input is the request text a client
// sends. So that no run reads the machine's files, inputs that could name a
// path outside the scratch folder are skipped (a "/" outside the markup "</"
// and "/>", or a character reference) and three markers are replaced: "@PKG@"
// by the path of an existing package file, "@DIR@" by the run's folder and
// "@UP@" by "../". Relative locations resolve against the run's folder. Each
// run uses a fresh store. Whatever the request, files may only appear in the
// holding area and the application folder, and the saved configuration must
// load again.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "FuzzSupport.h"
#include "store/mcComponentConfig.h"

namespace fs = std::filesystem;

namespace {

void PrvReplaceAll(std::string& text, const std::string& marker, const std::string& value) {
    for (std::size_t pos = text.find(marker); pos != std::string::npos; pos = text.find(marker, pos + value.size())) {
        text.replace(pos, marker.size(), value);
    }
}

bool PrvMayNameOutside(const std::string& text) {
    if (text.find("&#") != std::string::npos) return true;
    for (std::size_t pos = text.find('/'); pos != std::string::npos; pos = text.find('/', pos + 1)) {
        const bool bMarkup = (pos > 0 && text[pos - 1] == '<') || (pos + 1 < text.size() && text[pos + 1] == '>');
        if (!bMarkup) return true;
    }
    return false;
}

bool PrvIsUnder(const fs::path& path, const fs::path& folder) {
    const std::string p = path.string();
    const std::string f = folder.string() + "/";
    return p.compare(0, f.size(), f) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (PrvMayNameOutside(text)) return 0;
    const std::string scratch = mfFuzzSetUp();
    const fs::path run = scratch + "/run";
    std::error_code ec;
    fs::remove_all(run, ec);
    fs::create_directories(run / "app", ec);
    fs::create_directories(run / "pkg", ec);
    const fs::path package = run / "pkg" / "codec.zrz";
    if (!mfFuzzWriteFile(package.string(), "package bytes")) return 0;
    if (::chdir(run.c_str()) != 0) return 0;

    PrvReplaceAll(text, "@PKG@", package.string());
    PrvReplaceAll(text, "@DIR@", run.string());
    PrvReplaceAll(text, "@UP@", "../");

    const mcComponentConfig::Settings settings{(run / "app").string(), (run / "hold").string()};
    {
        mcComponentConfig store(settings);
        (void)store.PredownloadComponent(text);
        (void)store.PredownloadComponent(text);  // a repeated request replaces the package
    }
    for (const auto& entry : fs::recursive_directory_iterator(run)) {
        const fs::path& path = entry.path();
        if (PrvIsUnder(path, run / "app") || PrvIsUnder(path, run / "hold") || PrvIsUnder(path, run / "pkg") ||
            path == run / "app" || path == run / "hold" || path == run / "pkg") {
            continue;
        }
        std::fprintf(stderr, "predownload wrote outside its folders: %s\n", path.c_str());
        std::abort();
    }
    mcComponentConfig reopened(settings);
    if (fs::exists(run / "app" / (std::string(mcComponentConfig::kConfigFileName) + mcComponentConfig::kDamagedSuffix))) {
        std::fprintf(stderr, "the saved configuration does not load again\n");
        std::abort();
    }
    return 0;
}
