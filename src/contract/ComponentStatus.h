#pragma once
// The installed status that IsComponentInstalled hands to its caller (a
// 32-bit signed number), shared by the service and its tools.
#include <cstdint>

namespace cmstatus {

// The store knows no state for the component.
inline constexpr std::int32_t kUnknown = 0;
// Known, not installed for the asking client.
inline constexpr std::int32_t kNotInstalled = 1;
// Installed for the asking client.
inline constexpr std::int32_t kInstalled = 0x10;
// Installed, but the asking client is not one of the component's clients.
inline constexpr std::int32_t kInstalledForOthers = 0x100;
// Could not be decided: no manifest directory or store, unknown manifest,
// component not in the manifest or hidden there.
inline constexpr std::int32_t kUndecided = 0x10000;
// An install job for the component is queued or running.
inline constexpr std::int32_t kInstallRunning = 0x1000000;

// The status in a user's words; "unrecognised status" for any other number.
// Never null.
inline const char* Describe(std::int32_t nStatus) {
    switch (nStatus) {
        case kUnknown: return "unknown to the manager";
        case kNotInstalled: return "not installed";
        case kInstalled: return "installed for this client";
        case kInstalledForOthers: return "installed for another client";
        case kUndecided: return "hidden or not decidable";
        case kInstallRunning: return "install running";
        default: return "unrecognised status";
    }
}

}  // namespace cmstatus
