#pragma once
// Ping: one ICMP echo request through the process's ICMP facility (ICMPDLL).
#include <cstdint>

#include "net/NetUtilsException.h"

namespace netutils {

class ICMP {
public:
    KETTRIN_DECLARE_EXC(Exception, netutils::Exception);

    static constexpr std::uint8_t kFillByte = 0xAA;

    // Sends dwSize bytes of 0xAA to dwAddress (network byte order) and waits up
    // to dwTimeout ms. True when a reply came back. Throws Exception
    // "Error in ICMP::Ping():  Could not create ICMP file." when no ICMP socket
    // can be opened and "Error in ICMP::Ping():  Error in ICMPDLL::SendEcho()."
    // when the echo fails, no reply included. Any thread.
    static bool Ping(std::uint32_t dwAddress, std::uint32_t dwTimeout, std::uint32_t dwSize);
};

}  // namespace netutils
