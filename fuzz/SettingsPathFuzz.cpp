// Fuzz target: settings paths. Input: a mode byte, a level byte, then the
// path text. Assigns the text to a core::settings::Path and asks for its
// root, physical key paths at every level and last component; parses it as
// a value path. Mode bit 0x01 also looks the path up in the (empty, private)
// registry, as the connection check does with its settings.
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "registry/SettingsPath.h"
#include "base/mcExc.h"
#include "registry/mcSettingsRegImpl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mfFuzzSetUp();
    mcFuzzInput input(data, size);
    const std::uint8_t mode = input.TakeByte();
    const int level = static_cast<std::int8_t>(input.TakeByte());
    const std::string text(input.TakeRest());

    const bool bAbsolute = core::settings::Path::IsAbsolute(text);
    const bool bWellFormed = core::settings::Path::IsWellFormed(text);
    try {
        core::settings::Path path(text);
        if (!bAbsolute || !bWellFormed) std::abort();  // accepted what it calls malformed
        (void)path.RootIndex();
        (void)path.LastComponent();
        (void)path.PhysicalKeyPath();
        (void)path.PhysicalKeyPath(level);
        (void)path.PhysicalKeyPath(-level);
        const int count = static_cast<int>(path.Components().size());
        for (int i = -count - 1; i <= count + 1; ++i) (void)path.PhysicalKeyPath(i);
    } catch (const core::settings::Path::PathException&) {
        if (bAbsolute && bWellFormed) std::abort();  // refused a well-formed path
    }

    mcSettingsRegImpl::ValuePath parsed;
    if (mcSettingsRegImpl::ParseValuePath(text, parsed)) {
        if (parsed.root == 0) std::abort();
    } else if (parsed.root != 0 || !parsed.key.empty() || !parsed.name.empty()) {
        std::abort();
    }
    if ((mode & 0x01) != 0) {
        (void)mcSettingsRegImpl::SettingExists(text);
        try {
            (void)mcSettingsRegImpl::ValueInt32(text);
        } catch (const mcExc&) {
        }
    }
    return 0;
}
