#pragma once
// Value conversions shared by the XML wrappers: attribute and node text to
// 32-bit integers the way the DOM's variant conversion does it, and ToBool.
#include <cstdint>
#include <string_view>

#include "contract/Hresult.h"

// Converts text to a 32-bit integer like a variant conversion from a string:
// blanks around the number are allowed, then an optional sign, decimal digits
// with an optional fraction (rounded half to even) and exponent ("1e3" is
// 1000), or "&H" hexadecimal / "&O" octal of at most 32 bits. Returns S_OK,
// DISP_E_TYPEMISMATCH for anything else ("12abc", "", "maybe") or
// DISP_E_OVERFLOW when the value does not fit. *value is set only on S_OK.
HRESULT mfXmlTextToInt32(std::string_view text, std::int32_t* value) noexcept;

// The text as wcstoul with base 10 reads it on a 32-bit system: leading blanks
// skipped, optional sign (a minus negates), digits up to the first non-digit,
// 0 without digits, 0xFFFFFFFF on overflow; returned as a 32-bit signed value.
// Never fails.
std::int32_t mfXmlTextToUInt32Lenient(std::string_view text) noexcept;

// "true", "yes", "on" give true and "false", "no", "off" false, ignoring case
// (simple Unicode case folding); anything else is converted as
// mfXmlTextToInt32 does, non-zero giving true. A null value throws mcXmlExc
// "ToBool: null"; a failed conversion throws mcXmlExc with the system text of
// the conversion error ("Type mismatch.").
bool ToBool(const char* value);
bool ToBool(std::string_view value);
// A non-string value: non-zero is true.
bool ToBool(std::int32_t value) noexcept;
