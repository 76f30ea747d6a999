#include "net/ICMP.h"

#include <vector>

#include "net/ICMPDLL.h"

namespace netutils {

namespace {
constexpr const char* kFunction = "netutils::ICMP::Ping";
constexpr int kLineCreate = 70;
constexpr int kLineSend = 87;
constexpr const char* kCreateFailed = "Error in ICMP::Ping():  Could not create ICMP file.";
constexpr const char* kSendFailed = "Error in ICMP::Ping():  Error in ICMPDLL::SendEcho().";

[[noreturn]] void PrvThrow(int nLine, const char* pszText) {
    KTHROW_AT(ICMP::Exception, kFunction, nLine, pszText);
}
}  // namespace

bool ICMP::Ping(std::uint32_t dwAddress, std::uint32_t dwTimeout, std::uint32_t dwSize) {
    ICMPDLL& dll = ICMPDLL::Instance();
    int hFile = -1;
    try {
        hFile = dll.CreateFileW();
    } catch (const ICMPDLL::Exception&) {
        PrvThrow(kLineCreate, kCreateFailed);
    }
    std::vector<std::uint8_t> vecData(dwSize, kFillByte);
    std::uint32_t dwReplies = 0;
    bool bFailed = false;
    try {
        dwReplies = dll.SendEcho(hFile, dwAddress, vecData, dwTimeout);
    } catch (const ICMPDLL::Exception&) {
        bFailed = true;
    }
    try {
        dll.CloseHandle(hFile);
    } catch (const ICMPDLL::Exception&) {
        // Announced already; the echo's outcome stands.
    }
    if (bFailed || dwReplies == 0) PrvThrow(kLineSend, kSendFailed);
    return true;
}

}  // namespace netutils
