// Fuzz target: the response header block through the parsing code the HTTP
// transaction uses (mcHttpHeaders::SetFromResponseBlock), then looked up as
// callers do. Every stored value must read back under its name.
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "base/mcExc.h"
#include "net/mcHttpHeaders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mfFuzzSetUp();
    const std::string_view block(reinterpret_cast<const char*>(data), size);

    mcHttpHeaders headers;
    try {
        headers.SetFromResponseBlock(block);
    } catch (const mcExc&) {
        // The transaction fails on such a line: an expected result. What was
        // stored before it must still be consistent.
    }
    for (const auto& [strName, strValue] : headers.Entries()) {
        if (!headers.Has(strName) || headers.Get(strName) != strValue) std::abort();
        if (headers.FindNoCase(strName) == nullptr) std::abort();
    }
    for (const char* name : {"Content-Length", "content-type", "Location", "ETag"}) {
        (void)headers.Has(name);
        (void)headers.FindNoCase(name);
        try {
            (void)headers.Get(name);
        } catch (const mcExc&) {
        }
    }
    return 0;
}
