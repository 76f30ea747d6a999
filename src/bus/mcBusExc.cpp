#include "bus/mcBusExc.h"

#include <cstring>
#include <utility>

mcBusExc::mcBusExc(const char* function, const char* file, int line, std::string description,
                   std::string errorName, int nErrno)
    : mcExc(function, file, line, std::move(description)),
      m_strErrorName(std::move(errorName)),
      m_nErrno(nErrno < 0 ? -nErrno : nErrno) {}

std::string mcBusExc::ErrnoText(const std::string& strWhat, int r) {
    const int nErr = r < 0 ? -r : r;
    char szBuffer[256];
    // GNU strerror_r: returns a pointer to the text (not always szBuffer).
    const char* pszText = ::strerror_r(nErr, szBuffer, sizeof szBuffer);
    return strWhat + " failed: " + pszText;
}
