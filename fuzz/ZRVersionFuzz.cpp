// Fuzz target: version strings. Input: two versions separated by a line
// feed. The comparison must be a total order on what it accepts: reflexive,
// antisymmetric, and refusing an argument whichever side it is on.
#include <cstdio>
#include <cstdlib>

#include "FuzzSupport.h"
#include "manifest/ZRVersion.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mfFuzzSetUp();
    mcFuzzInput input(data, size);
    const std::string_view a = input.TakeUntil('\n');
    const std::string_view b = input.TakeRest();

    const int ab = mfStrCompareZRVersions(a, b);
    const int ba = mfStrCompareZRVersions(b, a);
    const int aa = mfStrCompareZRVersions(a, a);
    const bool bOk = ab >= -2 && ab <= 1 &&
                     (ab == kZRVersionBadArg ? ba == kZRVersionBadArg : ba == -ab) &&
                     (aa == 0 || (aa == kZRVersionBadArg && ab == kZRVersionBadArg));
    if (!bOk) {
        std::fprintf(stderr, "inconsistent comparison: (a,b)=%d (b,a)=%d (a,a)=%d\n", ab, ba, aa);
        std::abort();
    }
    return 0;
}
