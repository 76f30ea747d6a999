// Fuzz target: text conversion between UTF-8, byte code pages and UTF-16.
// Input: a code page selector byte, a flag byte, then the text. Checks that
// substitution never fails for a code page the system knows, and that
// round trips give the input back where the encodings allow it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "base/StrConv.h"
#include "base/mcExc.h"

namespace {

// Code pages the system names, and a few it does not.
constexpr std::uint32_t kCodePages[] = {CP_ACP, CP_UTF8, 1252, 28591, 28605, 20127, 437, 850,
                                        866,    874,     932,  936,   949,   950,   1250, 1251,
                                        1255,   1256,    20866, 50220, 51932, 52936, 54936, 65000,
                                        CP_UTF16LE, CP_UTF16BE, 12000, 99999, 0xFFFFFFFFu};

void PrvCheck(bool bOk, const char* what, std::uint32_t codePage) {
    if (bOk) return;
    std::fprintf(stderr, "property violated: %s (code page %u)\n", what, codePage);
    std::abort();
}

bool PrvKnown(std::uint32_t codePage) {
    try {
        (void)mfConvertMBCSToWide("a", codePage, kStrConvReplaceInvalid);
        return true;
    } catch (const mcExc&) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mfFuzzSetUp();
    mcFuzzInput input(data, size);
    const std::uint32_t codePage = kCodePages[input.TakeByte() % std::size(kCodePages)];
    const std::uint32_t flags = input.TakeByte();
    const std::string_view text = input.TakeRest();
    const bool bReplace = (flags & kStrConvReplaceInvalid) != 0;
    const bool bKnown = PrvKnown(codePage);

    std::string wide;
    bool bDecoded = false;
    try {
        wide = mfConvertMBCSToWide(text, codePage, flags);
        bDecoded = true;
        PrvCheck(mfIsValidUtf8(wide), "decoding gave invalid UTF-8", codePage);
    } catch (const mcExc&) {
        PrvCheck(!bReplace || !bKnown, "decoding with substitution failed", codePage);
    }
    try {
        const std::string bytes = mfConvertWideToMBCS(text, codePage, flags);
        (void)bytes;
    } catch (const mcExc&) {
        PrvCheck(!bReplace || !bKnown, "encoding with substitution failed", codePage);
    }
    // Every byte is a character in ISO-8859-1: there and back gives the bytes.
    if (codePage == 28591 && bDecoded) {
        PrvCheck(mfConvertWideToMBCS(wide, codePage) == text, "ISO-8859-1 round trip", codePage);
    }

    // UTF-16: valid UTF-8 survives the round trip exactly.
    const bool bValid = mfIsValidUtf8(text);
    try {
        const std::string le = mfUtf8ToUtf16Le(text, flags);
        PrvCheck(le.size() % 2 == 0, "UTF-16LE of odd length", codePage);
        const std::string back = mfUtf16LeToUtf8(le, flags);
        PrvCheck(!bValid || back == text, "UTF-16LE round trip", codePage);
        PrvCheck(mfUtf16ToUtf8(mfUtf8ToUtf16(text, flags), flags) == back, "UTF-16 forms disagree", codePage);
    } catch (const mcExc&) {
        PrvCheck(!bValid && !bReplace, "UTF-16 conversion of valid or substituted text failed", codePage);
    }
    try {
        (void)mfUtf16LeToUtf8(text, flags);
    } catch (const mcExc&) {
        PrvCheck(!bReplace, "UTF-16LE decoding with substitution failed", codePage);
    }
    return 0;
}
