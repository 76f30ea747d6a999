#include "net/ICMPDLL.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace netutils {

namespace {
constexpr const char* kCreateFailed = "Error creating ICMP file.";
constexpr const char* kCloseFailed = "Error closing ICMP file.";
constexpr const char* kNoReply = "Error in ICMPDLL::SendEcho():  IcmpSendEcho() returned 0.";
constexpr const char* kSendFailed = "Error in ICMPDLL::SendEcho().";
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kEchoReply = 0;
constexpr std::size_t kIcmpHeader = 8;

std::atomic<std::uint16_t> g_nSequence{1};

std::uint16_t PrvChecksum(const std::uint8_t* p, std::size_t n) {
    std::uint32_t sum = 0;
    for (; n > 1; p += 2, n -= 2) sum += static_cast<std::uint32_t>(p[0] << 8 | p[1]);
    if (n == 1) sum += static_cast<std::uint32_t>(p[0] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

bool PrvIsRaw(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_RAW;
}
}  // namespace

ICMPDLL& ICMPDLL::Instance() {
    static ICMPDLL s_instance;
    return s_instance;
}

int ICMPDLL::CreateFileW() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EPROTONOSUPPORT))
        fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) KTHROW(Exception, "netutils::ICMPDLL::CreateFileW", kCreateFailed);
    return fd;
}

void ICMPDLL::CloseHandle(int hFile) {
    if (::close(hFile) != 0) KTHROW(Exception, "netutils::ICMPDLL::CloseHandle", kCloseFailed);
}

std::uint32_t ICMPDLL::SendEcho(int hFile, std::uint32_t dwAddress,
                                const std::vector<std::uint8_t>& vecData, std::uint32_t dwTimeout) {
    const bool bRaw = PrvIsRaw(hFile);
    const std::uint16_t nId = static_cast<std::uint16_t>(::getpid() & 0xFFFF);
    const std::uint16_t nSeq = g_nSequence.fetch_add(1);

    std::vector<std::uint8_t> vecPacket(kIcmpHeader + vecData.size());
    vecPacket[0] = kEchoRequest;
    vecPacket[1] = 0;
    vecPacket[4] = static_cast<std::uint8_t>(nId >> 8);
    vecPacket[5] = static_cast<std::uint8_t>(nId & 0xFF);
    vecPacket[6] = static_cast<std::uint8_t>(nSeq >> 8);
    vecPacket[7] = static_cast<std::uint8_t>(nSeq & 0xFF);
    if (!vecData.empty()) std::memcpy(vecPacket.data() + kIcmpHeader, vecData.data(), vecData.size());
    std::uint16_t nSum = PrvChecksum(vecPacket.data(), vecPacket.size());
    vecPacket[2] = static_cast<std::uint8_t>(nSum >> 8);
    vecPacket[3] = static_cast<std::uint8_t>(nSum & 0xFF);

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = dwAddress;
    ssize_t nSent;
    do {
        nSent = ::sendto(hFile, vecPacket.data(), vecPacket.size(), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (nSent < 0 && errno == EINTR);
    if (nSent != static_cast<ssize_t>(vecPacket.size()))
        KTHROW(Exception, "netutils::ICMPDLL::SendEcho", kSendFailed);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwTimeout);
    std::vector<std::uint8_t> vecReply(65536);
    for (;;) {
        auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                         deadline - std::chrono::steady_clock::now())
                         .count();
        if (nLeft <= 0) break;
        pollfd pfd{hFile, POLLIN, 0};
        int nReady = ::poll(&pfd, 1, static_cast<int>(nLeft));
        if (nReady < 0 && errno == EINTR) continue;
        if (nReady <= 0) break;
        sockaddr_in from{};
        socklen_t nFromLen = sizeof from;
        ssize_t nGot = ::recvfrom(hFile, vecReply.data(), vecReply.size(), 0,
                                  reinterpret_cast<sockaddr*>(&from), &nFromLen);
        if (nGot < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        const std::uint8_t* p = vecReply.data();
        std::size_t n = static_cast<std::size_t>(nGot);
        if (bRaw) {
            // A raw socket hands over the IP header as well.
            if (n < 20) continue;
            std::size_t nIpHeader = static_cast<std::size_t>(p[0] & 0x0F) * 4;
            if (n < nIpHeader + kIcmpHeader) continue;
            p += nIpHeader;
            n -= nIpHeader;
        }
        if (n < kIcmpHeader || p[0] != kEchoReply) continue;
        if (from.sin_addr.s_addr != dwAddress) continue;
        std::uint16_t nReplySeq = static_cast<std::uint16_t>(p[6] << 8 | p[7]);
        std::uint16_t nReplyId = static_cast<std::uint16_t>(p[4] << 8 | p[5]);
        // A ping socket's identifier is chosen by the kernel, which also sorts
        // the replies out for us; a raw socket sees every reply of the machine.
        if (nReplySeq != nSeq || (bRaw && nReplyId != nId)) continue;
        return 1;
    }
    KTHROW(Exception, "netutils::ICMPDLL::SendEcho", kNoReply);
}

}  // namespace netutils
