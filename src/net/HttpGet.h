#pragma once
// One-call HTTP GET on top of mcHttpGet. Never throws (apart from
// std::bad_alloc); failures come back as false, in the result record and on the
// "HTTP" trace source. Any thread; each call is independent.
#include <cstdint>
#include <string>
#include <vector>

#include "net/mcHttpHeaders.h"
#include "net/mcHttpResult.h"
#include "net/mcHttpTransactionOptions.h"

// GETs strUrl. Every pointer may be null: without pReceiveBuffer the body is
// not read; pOptions null means the defaults. The body is appended to
// *pReceiveBuffer (up to the options' body limit).
bool PerformHttpGet(const std::string& strUrl, std::vector<std::uint8_t>* pReceiveBuffer = nullptr,
                    const mcHttpTransactionOptions* pOptions = nullptr,
                    mcHttpResult* pResult = nullptr, const std::string* pExtraHeaders = nullptr,
                    mcHttpHeaders* pResponseHeaders = nullptr, std::intptr_t nReserved = 0);

// Like PerformHttpGet, with the body decoded as UTF-8 text into *pResponseText
// (invalid sequences replaced by U+FFFD) and cut at its first NUL character.
// Without pResponseText no body is read. *pResponseText is only written on
// success.
bool PerformHttpGetString(const std::string& strUrl, std::string* pResponseText = nullptr,
                          const mcHttpTransactionOptions* pOptions = nullptr,
                          mcHttpResult* pResult = nullptr,
                          const std::string* pExtraHeaders = nullptr,
                          mcHttpHeaders* pResponseHeaders = nullptr, std::intptr_t nReserved = 0);

// Cuts strText at its first NUL character; when that shortened it, sends
// "PrvHandleEmbeddedNulls: EMBEDDED NULL(S) DETECTED" to the "CORE" trace
// source. Returns the new length.
std::size_t PrvHandleEmbeddedNulls(std::string& strText);
