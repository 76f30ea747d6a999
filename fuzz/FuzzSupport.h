#pragma once
// Shared by the fuzz targets: a private scratch folder and environment, and a
// reader that cuts one fuzz input into the pieces a target needs.
//
// Every target calls mfFuzzSetUp() first. The first call (per process) makes
// a temporary folder below $TMPDIR (else /tmp), points KETTRIN_REGISTRY and
// KETTRIN_DIAG_SOCKET into it, so that no run touches the machine's registry
// or trace socket, and closes the process log, so that millions of runs write
// no log file (the lines are still formatted). The folder is removed at normal
// exit; a crash leaves it behind. Single-threaded, as libFuzzer calls targets.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The scratch folder (no trailing "/"). Aborts when it cannot be made: a
// target that cannot isolate itself must not run.
const std::string& mfFuzzSetUp();

// Replaces path with bytes; false when that fails.
bool mfFuzzWriteFile(const std::string& path, std::string_view bytes);

// Cuts an input front to back. Taking from an exhausted input gives 0 or an
// empty view, never fails. Views point into the fuzz input.
class mcFuzzInput {
public:
    mcFuzzInput(const std::uint8_t* data, std::size_t size)
        : m_rest(reinterpret_cast<const char*>(data), size) {}

    bool Empty() const { return m_rest.empty(); }
    std::uint8_t TakeByte();
    // The bytes up to the next separator, which is consumed; all the rest
    // when there is none.
    std::string_view TakeUntil(char separator);
    std::string_view TakeRest();

private:
    std::string_view m_rest;
};

// The libFuzzer entry point every target defines.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
