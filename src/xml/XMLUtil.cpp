#include "xml/XMLUtil.h"

#include <limits>
#include <string>

#include "base/StrUtils.h"
#include "base/SystemMessages.h"
#include "xml/mcXmlExc.h"

namespace {

constexpr const char* kBlanks = " \t\r\n\v\f";

bool IsBlank(char c) { return c != '\0' && std::string_view(kBlanks).find(c) != std::string_view::npos; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

HRESULT PrvRadixToInt32(std::string_view digits, unsigned radix, std::int32_t* value) {
    if (digits.empty()) return DISP_E_TYPEMISMATCH;
    std::uint64_t result = 0;
    for (char c : digits) {
        unsigned d;
        if (IsDigit(c)) {
            d = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return DISP_E_TYPEMISMATCH;
        }
        if (d >= radix) return DISP_E_TYPEMISMATCH;
        result = result * radix + d;
        if (result > 0xFFFFFFFFull) return DISP_E_OVERFLOW;
    }
    *value = static_cast<std::int32_t>(static_cast<std::uint32_t>(result));
    return S_OK;
}

}  // namespace

HRESULT mfXmlTextToInt32(std::string_view text, std::int32_t* value) noexcept {
    text = Trim(text);
    if (text.size() > 2 && text[0] == '&') {
        if (text[1] == 'H' || text[1] == 'h') return PrvRadixToInt32(text.substr(2), 16, value);
        if (text[1] == 'O' || text[1] == 'o') return PrvRadixToInt32(text.substr(2), 8, value);
        return DISP_E_TYPEMISMATCH;
    }
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Significant digits without leading zeros, and their decimal exponent.
    std::string digits;
    std::int64_t exponent = 0;
    bool anyDigit = false;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        anyDigit = true;
        if (!digits.empty() || text[i] != '0') digits += text[i];
    }
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && IsDigit(text[i]); ++i) {
            anyDigit = true;
            if (!digits.empty() || text[i] != '0') digits += text[i];
            --exponent;
        }
    }
    if (!anyDigit) return DISP_E_TYPEMISMATCH;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negativeExp = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExp = text[i++] == '-';
        if (i >= text.size() || !IsDigit(text[i])) return DISP_E_TYPEMISMATCH;
        std::int64_t e = 0;
        for (; i < text.size() && IsDigit(text[i]); ++i) {
            if (e < 100000) e = e * 10 + (text[i] - '0');
        }
        exponent += negativeExp ? -e : e;
    }
    if (i != text.size()) return DISP_E_TYPEMISMATCH;

    // value = digits * 10^exponent, rounded half to even to an integer.
    std::uint64_t magnitude = 0;
    if (!digits.empty()) {
        const auto count = static_cast<std::int64_t>(digits.size());
        const std::int64_t integerDigits = count + exponent;
        if (integerDigits > 10) return DISP_E_OVERFLOW;
        for (std::int64_t k = 0; k < integerDigits; ++k) {
            magnitude = magnitude * 10 + (k < count ? static_cast<unsigned>(digits[k] - '0') : 0);
        }
        if (integerDigits < count) {
            // Rounding on the dropped digits.
            const std::int64_t first = integerDigits < 0 ? -1 : integerDigits;
            bool roundUp = false;
            if (first >= 0) {
                const char lead = digits[static_cast<std::size_t>(first)];
                bool restZero = digits.find_first_not_of('0', static_cast<std::size_t>(first) + 1) ==
                                std::string::npos;
                if (lead > '5' || (lead == '5' && !restZero)) {
                    roundUp = true;
                } else if (lead == '5') {
                    roundUp = (magnitude % 2) == 1;  // a tie goes to the even neighbour
                }
            }
            if (roundUp) ++magnitude;
        }
    }
    const std::uint64_t limit = negative ? 0x80000000ull : 0x7FFFFFFFull;
    if (magnitude > limit) return DISP_E_OVERFLOW;
    *value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                      : static_cast<std::int32_t>(magnitude);
    return S_OK;
}

std::int32_t mfXmlTextToUInt32Lenient(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint64_t result = 0;
    bool overflow = false;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        result = result * 10 + static_cast<unsigned>(text[i] - '0');
        if (result > 0xFFFFFFFFull) {
            overflow = true;
            result = 0xFFFFFFFFull;
        }
    }
    if (overflow) return -1;  // ULONG_MAX of a 32-bit unsigned long
    auto value = static_cast<std::uint32_t>(result);
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

bool ToBool(const char* value) {
    if (value == nullptr) KTHROW_AT(mcXmlExc, "ToBool", 125, "ToBool: null");
    return ToBool(std::string_view(value));
}

bool ToBool(std::string_view value) {
    for (const char* word : {"true", "yes", "on"}) {
        if (mfStrCompareNoCase(value, word) == 0) return true;
    }
    for (const char* word : {"false", "no", "off"}) {
        if (mfStrCompareNoCase(value, word) == 0) return false;
    }
    std::int32_t number = 0;
    HRESULT hr = mfXmlTextToInt32(value, &number);
    if (FAILED(hr)) KTHROW_AT(mcXmlExc, "ToBool", 156, mfHResultText(hr));
    return number != 0;
}

bool ToBool(std::int32_t value) noexcept { return value != 0; }
