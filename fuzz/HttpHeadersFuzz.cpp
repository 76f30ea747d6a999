// Fuzz target: the response header block as the HTTP transaction reads it
// (status line, "Name: value" lines, empty line, each ended by CR LF): decoded
// as the locale's text with replacement, split into lines, each line split
// into name and value and stored; then looked up as callers do.
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "base/StrConv.h"
#include "base/StrUtils.h"
#include "base/mcExc.h"
#include "net/mcHttpHeaders.h"
#include "net/mcNameValuePair.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mfFuzzSetUp();
    const std::string_view block(reinterpret_cast<const char*>(data), size);

    const std::string text = mfConvertMBCSToWide(block, CP_ACP, kStrConvReplaceInvalid);
    std::vector<std::string> lines;
    mfStrSplit(text, "\n", lines);
    mcHttpHeaders headers;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        mcNameValuePair pair;
        try {
            pair.FromStr(lines[i], ": ");
        } catch (const mcExc&) {
            continue;  // the transaction fails on such a line: an expected result
        }
        headers.Set(pair.Name(), pair.Value());
        if (headers.Get(pair.Name()) != pair.Value()) std::abort();
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
