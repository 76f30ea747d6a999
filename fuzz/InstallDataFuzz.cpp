// Fuzz target: the installer result files of the configuration store. Input:
// a mode byte, the client name up to a NUL byte, then the result text that
// the package installer reports. Mode (low two bits): 0 GetInstallDataResult,
// 1 GetUninstallDataResult, 2 SetComponentInstallData, 3 install followed by
// SetComponentUninstallData with the same text. Each run uses a fresh store
// in the scratch folder. No operation leaves a result file behind, and
// whatever was recorded must load again as an intact configuration.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "FuzzSupport.h"
#include "store/mcComponentConfig.h"

namespace fs = std::filesystem;

namespace {

void PrvCheck(bool bOk, const char* what) {
    if (bOk) return;
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string folder = mfFuzzSetUp() + "/store";
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder + "/app", ec);

    mcFuzzInput input(data, size);
    const std::uint8_t mode = input.TakeByte() & 0x03;
    const std::string client(input.TakeUntil('\0'));
    const std::string text(input.TakeRest());

    const mcComponentConfig::Settings settings{folder + "/app", folder + "/hold"};
    const std::string installData = folder + "/app/" + mcComponentConfig::kInstallDataFileName;
    const std::string uninstallData = folder + "/app/" + mcComponentConfig::kUninstallDataFileName;
    {
        mcComponentConfig store(settings);
        std::string result, errorCode;
        switch (mode) {
        case 0:
            (void)store.GetInstallDataResult(text, result, errorCode);
            break;
        case 1:
            (void)store.GetUninstallDataResult(text, result, errorCode);
            break;
        default:
            (void)store.SetComponentInstallData(client, text);
            if (mode == 3) (void)store.SetComponentUninstallData(client, text);
            break;
        }
        // Every path out of an operation deletes its result file.
        PrvCheck(!fs::exists(installData), "InstallData.xml left behind");
        PrvCheck(!fs::exists(uninstallData), "UninstallData.xml left behind");
    }
    // What the store saved must read back: a damaged file would be moved aside.
    mcComponentConfig reopened(settings);
    PrvCheck(!fs::exists(folder + "/app/" + mcComponentConfig::kConfigFileName + mcComponentConfig::kDamagedSuffix),
             "the saved configuration does not load again");
    return 0;
}
