#pragma once
// A trace viewer for tests: binds a datagram socket at a path the test owns,
// normally its scratch machine's TraceSocketPath(), which the machine has
// already named in KETTRIN_DIAG_SOCKET. The socket file is removed on Close or
// destruction; the folder stays the test's.
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/mcDiagTrace.h"

class TraceListener {
public:
    explicit TraceListener(std::string strSocketPath) : m_strPath(std::move(strSocketPath)) { Bind(); }
    ~TraceListener() { Close(); }
    TraceListener(const TraceListener&) = delete;
    TraceListener& operator=(const TraceListener&) = delete;

    bool Bind() {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_strPath.c_str(), sizeof address.sun_path - 1);
        return ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    // Stops listening and removes the socket file ("no viewer").
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
        ::unlink(m_strPath.c_str());
    }
    bool IsBound() const { return m_fd >= 0; }
    const std::string& Path() const { return m_strPath; }

    // The next datagram, or nothing after timeoutMs.
    std::optional<mcDiagTrace::Datagram> Receive(int timeoutMs = 2000) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
        std::vector<char> buffer(65536);
        ssize_t n = ::recv(m_fd, buffer.data(), buffer.size(), 0);
        if (n < 0) return std::nullopt;
        mcDiagTrace::Datagram datagram;
        if (!mcDiagTrace::DecodeDatagram(buffer.data(), static_cast<std::size_t>(n), &datagram)) {
            return std::nullopt;
        }
        return datagram;
    }
    // Datagrams from one source only (the process-wide sources may interleave).
    std::optional<mcDiagTrace::Datagram> ReceiveFrom(const std::string& source,
                                                     int timeoutMs = 2000) {
        for (;;) {
            auto d = Receive(timeoutMs);
            if (!d || d->source == source) return d;
        }
    }
    // True when nothing arrives within timeoutMs.
    bool Quiet(int timeoutMs = 100) {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) == 0;
    }

private:
    std::string m_strPath;
    int m_fd = -1;
};
