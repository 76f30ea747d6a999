#pragma once
// The ICMP echo facility of the process: ICMP sockets, created per echo. An
// unprivileged ping socket (SOCK_DGRAM, IPPROTO_ICMP) is used when the system
// allows it (net.ipv4.ping_group_range); when it refuses, a raw ICMP socket,
// which needs root (or CAP_NET_RAW). One process-wide instance; any thread.
#include <cstdint>
#include <vector>

#include "net/NetUtilsException.h"

namespace netutils {

class ICMPDLL {
public:
    KETTRIN_DECLARE_EXC(Exception, netutils::Exception);

    static ICMPDLL& Instance();

    // Opens an ICMP socket ("file"). Throws Exception "Error creating ICMP file."
    // when neither kind of socket can be had.
    int CreateFileW();
    // Throws Exception "Error closing ICMP file." when close fails.
    void CloseHandle(int hFile);
    // Sends one echo request carrying vecData to dwAddress (network byte order)
    // and waits up to dwTimeout ms for its reply. Returns the number of replies
    // (1). Throws Exception "Error in ICMPDLL::SendEcho():  IcmpSendEcho()
    // returned 0." when none came back in time and "Error in
    // ICMPDLL::SendEcho()." when the request could not be sent.
    std::uint32_t SendEcho(int hFile, std::uint32_t dwAddress, const std::vector<std::uint8_t>& vecData,
                           std::uint32_t dwTimeout);

private:
    ICMPDLL() = default;
};

}  // namespace netutils
