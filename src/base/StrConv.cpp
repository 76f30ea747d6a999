#include "base/StrConv.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <iterator>

#include "base/CaseFoldTable.h"
#include "base/Win32Error.h"
#include "base/mcWin32Exc.h"

namespace {

constexpr char32_t kReplacementChar = 0xFFFD;
constexpr char kReplacementByte = '?';
constexpr const char* kUtf8 = "UTF-8";

bool PrvReplace(std::uint32_t flags) { return (flags & kStrConvReplaceInvalid) != 0; }

std::string PrvUpperAscii(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool PrvIsUtf8Name(const std::string& charset) {
    const std::string upper = PrvUpperAscii(charset);
    return upper == "UTF-8" || upper == "UTF8";
}

// The character set of the locale the environment selects, read once. A plain
// ASCII ("C"/"POSIX") locale means nobody configured one: our text is UTF-8,
// and treating ASCII as UTF-8 only widens what is accepted.
const std::string& PrvLocaleCharset() {
    static const std::string s_strCharset = [] {
        std::string strResult = kUtf8;
        locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
        if (loc != static_cast<locale_t>(nullptr)) {
            const char* pszCodeset = nl_langinfo_l(CODESET, loc);
            if (pszCodeset != nullptr && *pszCodeset != '\0') {
                const std::string upper = PrvUpperAscii(pszCodeset);
                if (upper != "ANSI_X3.4-1968" && upper != "ASCII" && upper != "US-ASCII") {
                    strResult = pszCodeset;
                }
            }
            freelocale(loc);
        }
        return strResult;
    }();
    return s_strCharset;
}

class PrvIconv {
public:
    PrvIconv(const std::string& to, const std::string& from)
        : m_cd(iconv_open(to.c_str(), from.c_str())) {}
    ~PrvIconv() {
        if (IsOpen()) iconv_close(m_cd);
    }
    PrvIconv(const PrvIconv&) = delete;
    PrvIconv& operator=(const PrvIconv&) = delete;
    bool IsOpen() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return m_cd; }

private:
    iconv_t m_cd;
};

enum class PrvConvResult { Ok, BadCodePage, Invalid };

// Converts input with iconv. onInvalid(out, in, inLeft) handles one invalid or
// unconvertible spot when substitution is on: it appends the substitute and
// returns how many input bytes to skip.
template <typename OnInvalid>
PrvConvResult PrvIconvConvert(const std::string& to, const std::string& from, std::string_view input,
                              bool bReplace, std::string& out, OnInvalid onInvalid) {
    PrvIconv cd(to, from);
    if (!cd.IsOpen()) return PrvConvResult::BadCodePage;

    char* pIn = const_cast<char*>(input.data());  // iconv's interface is not const-correct
    std::size_t nInLeft = input.size();
    char buffer[4096];
    for (;;) {
        char* pOut = buffer;
        std::size_t nOutLeft = sizeof(buffer);
        const bool bFlush = nInLeft == 0;
        const std::size_t rc = bFlush ? iconv(cd.Get(), nullptr, nullptr, &pOut, &nOutLeft)
                                      : iconv(cd.Get(), &pIn, &nInLeft, &pOut, &nOutLeft);
        const int err = errno;
        out.append(buffer, static_cast<std::size_t>(pOut - buffer));
        if (rc != static_cast<std::size_t>(-1)) {
            if (bFlush) return PrvConvResult::Ok;
            continue;
        }
        if (err == E2BIG) continue;
        if (err != EILSEQ && err != EINVAL) return PrvConvResult::Invalid;
        // EILSEQ: invalid or unconvertible input; EINVAL: truncated at the end.
        if (!bReplace || nInLeft == 0) return PrvConvResult::Invalid;
        const std::size_t nSkip = std::min(nInLeft, onInvalid(out, std::string_view(pIn, nInLeft)));
        pIn += nSkip;
        nInLeft -= nSkip;
        iconv(cd.Get(), nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
    }
}

// The records of the two code-page conversions carry fixed lines (kLine*);
// the UTF-16 helpers pass their own.
[[noreturn]] void PrvFail(const char* function, int line, const char* description, std::uint32_t win32Error) {
    mfSetLastError(win32Error);
    KTHROW_AT(mcWin32Exc, function, line, description);
}

constexpr const char* kWideToMbcs = "mfConvertWideToMBCS";
constexpr int kLineWideToMbcs = 270;
constexpr int kLineMbcsToWide = 315;
constexpr const char* kWideToMbcsFailed = "mfConvertWideToMBCS failed";
constexpr const char* kMbcsToWide = "mfConvertMBCSToWide";
constexpr const char* kMbcsToWideFailed = "mfConvertMBCSToWide failed";
constexpr const char* kToUtf16Le = "mfUtf8ToUtf16Le";
constexpr const char* kToUtf16LeFailed = "mfUtf8ToUtf16Le failed";
constexpr const char* kFromUtf16Le = "mfUtf16LeToUtf8";
constexpr const char* kFromUtf16LeFailed = "mfUtf16LeToUtf8 failed";
constexpr const char* kToUtf16 = "mfUtf8ToUtf16";
constexpr const char* kToUtf16Failed = "mfUtf8ToUtf16 failed";
constexpr const char* kFromUtf16 = "mfUtf16ToUtf8";
constexpr const char* kFromUtf16Failed = "mfUtf16ToUtf8 failed";

// UTF-8 -> UTF-8: validation, and substitution of invalid bytes when asked.
bool PrvCopyUtf8(std::string_view text, bool bReplace, std::string& out) {
    if (mfIsValidUtf8(text)) {
        out.assign(text);
        return true;
    }
    if (!bReplace) return false;
    out.clear();
    out.reserve(text.size() + 8);
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        char32_t cp = 0;
        if (mfUtf8Decode(text, pos, cp)) {
            out.append(text.substr(start, pos - start));
        } else {
            mfUtf8Append(out, kReplacementChar);
        }
    }
    return true;
}

// Decodes UTF-8 into code points, calling sink(cp) for each; invalid bytes
// give U+FFFD with substitution, otherwise false.
template <typename Sink>
bool PrvForEachCodePoint(std::string_view text, bool bReplace, Sink sink) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        char32_t cp = 0;
        if (!mfUtf8Decode(text, pos, cp)) {
            if (!bReplace) return false;
            cp = kReplacementChar;
        }
        sink(cp);
    }
    return true;
}

bool PrvIsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool PrvIsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Decodes UTF-16 units given by unit(i), i < count, appending UTF-8 to out.
template <typename UnitAt>
bool PrvUtf16ToUtf8(std::size_t count, UnitAt unit, bool bReplace, std::string& out) {
    out.reserve(out.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
        const char32_t u = unit(i);
        if (PrvIsHighSurrogate(u) && i + 1 < count && PrvIsLowSurrogate(unit(i + 1))) {
            mfUtf8Append(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
        } else if (PrvIsHighSurrogate(u) || PrvIsLowSurrogate(u)) {
            if (!bReplace) return false;
            mfUtf8Append(out, kReplacementChar);
        } else {
            mfUtf8Append(out, u);
        }
    }
    return true;
}

}  // namespace

std::string mfCodePageCharset(std::uint32_t codePage) {
    switch (codePage) {
    case CP_ACP:
    case CP_OEMCP:
    case CP_THREAD_ACP: return PrvLocaleCharset();
    case 2:
    case 10000: return "MACINTOSH";
    case CP_UTF16LE: return "UTF-16LE";
    case CP_UTF16BE: return "UTF-16BE";
    case 12000: return "UTF-32LE";
    case 12001: return "UTF-32BE";
    case 20127: return "ANSI_X3.4-1968";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 20932:
    case 51932: return "EUC-JP";
    case 51936: return "EUC-CN";
    case 51949: return "EUC-KR";
    case 50220:
    case 50221:
    case 50222: return "ISO-2022-JP";
    case 50225: return "ISO-2022-KR";
    case 52936: return "HZ";
    case 54936: return "GB18030";
    case 936: return "GBK";
    case 950: return "BIG5";
    case 65000: return "UTF-7";
    case CP_UTF8: return kUtf8;
    default: break;
    }
    if (codePage >= 28591 && codePage <= 28599) return "ISO-8859-" + std::to_string(codePage - 28590);
    if (codePage == 28603) return "ISO-8859-13";
    if (codePage == 28605) return "ISO-8859-15";
    return "CP" + std::to_string(codePage);
}

std::string mfConvertWideToMBCS(std::string_view text, std::uint32_t codePage, std::uint32_t flags) {
    std::string out;
    if (text.empty()) return out;
    const bool bReplace = PrvReplace(flags);
    const std::string charset = mfCodePageCharset(codePage);
    if (PrvIsUtf8Name(charset)) {
        if (!PrvCopyUtf8(text, bReplace, out)) {
            PrvFail(kWideToMbcs, kLineWideToMbcs, kWideToMbcsFailed, ERROR_NO_UNICODE_TRANSLATION);
        }
        return out;
    }
    // iconv must not see invalid UTF-8 in substitution mode (it cannot tell an
    // invalid byte from an unconvertible character), so clean the input first.
    std::string cleaned;
    if (!PrvCopyUtf8(text, bReplace, cleaned)) {
        PrvFail(kWideToMbcs, kLineWideToMbcs, kWideToMbcsFailed, ERROR_NO_UNICODE_TRANSLATION);
    }
    out.reserve(cleaned.size());
    const PrvConvResult result =
        PrvIconvConvert(charset, kUtf8, cleaned, bReplace, out, [](std::string& o, std::string_view rest) {
            // Skip the whole unconvertible character.
            std::size_t pos = 0;
            char32_t cp = 0;
            mfUtf8Decode(rest, pos, cp);
            o.push_back(kReplacementByte);
            return pos;
        });
    if (result == PrvConvResult::BadCodePage) {
        PrvFail(kWideToMbcs, kLineWideToMbcs, kWideToMbcsFailed, ERROR_INVALID_PARAMETER);
    }
    if (result == PrvConvResult::Invalid) {
        PrvFail(kWideToMbcs, kLineWideToMbcs, kWideToMbcsFailed, ERROR_NO_UNICODE_TRANSLATION);
    }
    return out;
}

std::string mfConvertMBCSToWide(std::string_view bytes, std::uint32_t codePage, std::uint32_t flags) {
    std::string out;
    if (bytes.empty()) return out;
    const bool bReplace = PrvReplace(flags);
    const std::string charset = mfCodePageCharset(codePage);
    if (PrvIsUtf8Name(charset)) {
        if (!PrvCopyUtf8(bytes, bReplace, out)) {
            PrvFail(kMbcsToWide, kLineMbcsToWide, kMbcsToWideFailed, ERROR_NO_UNICODE_TRANSLATION);
        }
        return out;
    }
    out.reserve(bytes.size() + bytes.size() / 2);
    const PrvConvResult result =
        PrvIconvConvert(kUtf8, charset, bytes, bReplace, out, [](std::string& o, std::string_view) {
            mfUtf8Append(o, kReplacementChar);
            return std::size_t{1};
        });
    if (result == PrvConvResult::BadCodePage) {
        PrvFail(kMbcsToWide, kLineMbcsToWide, kMbcsToWideFailed, ERROR_INVALID_PARAMETER);
    }
    if (result == PrvConvResult::Invalid) {
        PrvFail(kMbcsToWide, kLineMbcsToWide, kMbcsToWideFailed, ERROR_NO_UNICODE_TRANSLATION);
    }
    return out;
}

std::u16string mfUtf8ToUtf16(std::string_view text, std::uint32_t flags) {
    std::u16string out;
    out.reserve(text.size());
    const bool bOk = PrvForEachCodePoint(text, PrvReplace(flags), [&out](char32_t cp) {
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    });
    if (!bOk) PrvFail(kToUtf16, __LINE__, kToUtf16Failed, ERROR_NO_UNICODE_TRANSLATION);
    return out;
}

std::string mfUtf16ToUtf8(std::u16string_view units, std::uint32_t flags) {
    std::string out;
    if (!PrvUtf16ToUtf8(
            units.size(), [units](std::size_t i) { return static_cast<char32_t>(units[i]); },
            PrvReplace(flags), out)) {
        PrvFail(kFromUtf16, __LINE__, kFromUtf16Failed, ERROR_NO_UNICODE_TRANSLATION);
    }
    return out;
}

std::string mfUtf8ToUtf16Le(std::string_view text, std::uint32_t flags) {
    std::string out;
    out.reserve(text.size() * 2);
    auto putUnit = [&out](char32_t unit) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>((unit >> 8) & 0xFF));
    };
    const bool bOk = PrvForEachCodePoint(text, PrvReplace(flags), [&putUnit](char32_t cp) {
        if (cp >= 0x10000) {
            putUnit(0xD800 + ((cp - 0x10000) >> 10));
            putUnit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            putUnit(cp);
        }
    });
    if (!bOk) PrvFail(kToUtf16Le, __LINE__, kToUtf16LeFailed, ERROR_NO_UNICODE_TRANSLATION);
    return out;
}

std::string mfUtf16LeToUtf8(std::string_view bytes, std::uint32_t flags) {
    const bool bReplace = PrvReplace(flags);
    if (bytes.size() % 2 != 0 && !bReplace) {
        PrvFail(kFromUtf16Le, __LINE__, kFromUtf16LeFailed, ERROR_NO_UNICODE_TRANSLATION);
    }
    std::string out;
    const auto unitAt = [bytes](std::size_t i) {
        return static_cast<char32_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    };
    if (!PrvUtf16ToUtf8(bytes.size() / 2, unitAt, bReplace, out)) {
        PrvFail(kFromUtf16Le, __LINE__, kFromUtf16LeFailed, ERROR_NO_UNICODE_TRANSLATION);
    }
    if (bytes.size() % 2 != 0) mfUtf8Append(out, kReplacementChar);
    return out;
}

bool mfUtf8Decode(std::string_view text, std::size_t& pos, char32_t& cp) noexcept {
    const auto byteAt = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byteAt(pos);
    if (lead < 0x80) {
        cp = lead;
        ++pos;
        return true;
    }
    std::size_t nLength = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        nLength = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        nLength = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        nLength = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    }
    bool bValid = nLength != 0 && text.size() - pos >= nLength;
    for (std::size_t i = 1; bValid && i < nLength; ++i) {
        const unsigned char next = byteAt(pos + i);
        if ((next & 0xC0) != 0x80) {
            bValid = false;
        } else {
            value = (value << 6) | (next & 0x3F);
        }
    }
    if (bValid && (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))) {
        bValid = false;
    }
    if (!bValid) {
        cp = lead;
        ++pos;
        return false;
    }
    cp = value;
    pos += nLength;
    return true;
}

void mfUtf8Append(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacementChar;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool mfIsValidUtf8(std::string_view text) noexcept {
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        char32_t cp = 0;
        if (!mfUtf8Decode(text, pos, cp)) return false;
    }
    return true;
}

char32_t mfFoldCodePoint(char32_t cp) noexcept {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    using kettrin_casefold::kRanges;
    using kettrin_casefold::Range;
    // The last range whose first code point is <= cp.
    const Range* it = std::upper_bound(std::begin(kRanges), std::end(kRanges), cp,
                                       [](char32_t value, const Range& r) { return value < r.first; });
    if (it == std::begin(kRanges)) return cp;
    --it;
    if (cp > it->last || (cp - it->first) % it->stride != 0) return cp;
    return static_cast<char32_t>(static_cast<std::int64_t>(cp) + it->delta);
}

std::string mfStrFoldCase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[pos]);
        if (c < 0x80) {
            out.push_back(static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c));
            ++pos;
            continue;
        }
        const std::size_t start = pos;
        char32_t cp = 0;
        if (!mfUtf8Decode(text, pos, cp)) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        const char32_t folded = mfFoldCodePoint(cp);
        if (folded == cp) {
            out.append(text.substr(start, pos - start));
        } else {
            mfUtf8Append(out, folded);
        }
    }
    return out;
}
