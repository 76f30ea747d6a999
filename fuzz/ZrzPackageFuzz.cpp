// Fuzz target: the ".zrz" package reader. The input is a whole package file;
// opening it either gives a checked package or fails with
// mcZrzPackage::Exception, and a package that opens is extracted into a fresh
// folder of the scratch area, which is removed again.
#include <filesystem>
#include <string>

#include "FuzzSupport.h"
#include "package/mcZrzPackage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string strFolder = mfFuzzSetUp();
    const std::string strPackage = strFolder + "/package.zrz";
    if (!mfFuzzWriteFile(strPackage, std::string_view(reinterpret_cast<const char*>(data), size))) return 0;
    mcZrzPackage::Limits limits;
    limits.nMaxEntryBytes = 1 << 20;
    limits.nMaxTotalBytes = 4 << 20;
    limits.nMaxEntries = 1000;
    const std::string strTarget = strFolder + "/target";
    std::error_code ec;
    std::filesystem::remove_all(strTarget, ec);
    try {
        const mcZrzPackage package = mcZrzPackage::Open(strPackage, limits);
        std::filesystem::create_directory(strTarget, ec);
        package.ExtractFiles(strTarget);
    } catch (const mcZrzPackage::Exception&) {
    }
    std::filesystem::remove_all(strTarget, ec);
    return 0;
}
