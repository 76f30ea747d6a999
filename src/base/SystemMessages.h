#pragma once
// System message texts for Win32 error codes and HRESULTs, in the exact wording
// the Windows message table gives them. Windows keeps each text with a closing
// CR LF; both functions below return it without any line break.
#include <cstdint>
#include <string>

#include "contract/Hresult.h"

// The message for a Win32 error code or an HRESULT (HRESULT_FROM_WIN32 forms
// are looked up by their Win32 code). Without a known message:
// "Error: " + the code as 8 lower-case, zero-padded hexadecimal digits.
// Never throws (except std::bad_alloc).
std::string mfGetSystemErrorMessage(std::uint32_t code);

// The text of an HRESULT: the system message when there is one; otherwise
// "IDispatch error #N" (N = hr - 0x80040200) for 0x80040201..0x8004FFFF and
// "Unknown error 0x" + upper-case hexadecimal without leading zeros for the rest.
std::string mfHResultText(HRESULT hr);

// The bare table lookup: true and the text when the code has a message.
bool mfFindSystemMessage(std::uint32_t code, std::string* text);
