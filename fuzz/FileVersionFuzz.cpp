// Fuzz target: the file version reader. The input is a whole file (an ELF
// object or anything else); reading its version must either give four
// numbers or fail with one of the documented exceptions.
#include <string>

#include "FuzzSupport.h"
#include "base/FileUtils.h"
#include "base/mcExc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = mfFuzzSetUp() + "/program";
    if (!mfFuzzWriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size))) return 0;
    std::uint32_t version[4] = {};
    try {
        mfFileGetFileVersion(path, &version[0], &version[1], &version[2], &version[3]);
    } catch (const mcExc&) {
    }
    try {
        mfFileGetFileVersion(path, nullptr, nullptr, nullptr, nullptr);
    } catch (const mcExc&) {
    }
    return 0;
}
