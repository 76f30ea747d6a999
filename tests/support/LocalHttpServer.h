#pragma once
// A small HTTP server for tests, on 127.0.0.1 at a free port.
//
// Normal mode (cpp-httplib): routes added with Get(), files served from a
// folder with ServeFolder(). Raw mode: a plain socket server for misbehaving
// peers - it reads each request up to the empty line and then either never
// answers (RawMode::kNeverAnswer) or writes fixed bytes and closes
// (RawMode::kCanned), which gives truncated bodies, embedded NULs and any header
// line a test needs.
//
// Every request is recorded (method, target = path and query string exactly as
// received, headers). The server stops in Stop() or its destructor. Link the
// test program with the kettrin_test_http target.
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kettrin::test {

class LocalHttpServer {
public:
    struct Request {
        std::string method;
        std::string target;  // path + "?" + query, as received
        std::string path;    // target up to "?"
        std::string query;   // after "?", "" when none
        std::multimap<std::string, std::string> headers;  // names as received
        // First value of a header, names compared ignoring ASCII case.
        std::string Header(const std::string& name) const {
            for (const auto& [k, v] : headers) {
                if (k.size() == name.size() &&
                    std::equal(k.begin(), k.end(), name.begin(), [](char a, char b) {
                        return std::tolower(static_cast<unsigned char>(a)) ==
                               std::tolower(static_cast<unsigned char>(b));
                    }))
                    return v;
            }
            return std::string();
        }
        bool HasHeader(const std::string& name) const {
            for (const auto& [k, v] : headers) {
                (void)v;
                if (k.size() == name.size() &&
                    std::equal(k.begin(), k.end(), name.begin(), [](char a, char b) {
                        return std::tolower(static_cast<unsigned char>(a)) ==
                               std::tolower(static_cast<unsigned char>(b));
                    }))
                    return true;
            }
            return false;
        }
    };

    enum class RawMode { kNeverAnswer, kCanned };

    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    LocalHttpServer() = default;
    ~LocalHttpServer() { Stop(); }
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    // Normal mode set-up; call before Start().
    void Get(const std::string& pattern, Handler handler) { m_server.Get(pattern, std::move(handler)); }
    // Serves the files under folder at mount ("/" by default).
    bool ServeFolder(const std::string& folder, const std::string& mount = "/") {
        return m_server.set_mount_point(mount, folder);
    }
    httplib::Server& Server() { return m_server; }

    // Starts normal mode. False when no port could be bound.
    bool Start() {
        m_server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            Request r;
            r.method = req.method;
            r.target = req.target;
            SplitTarget(r);
            for (const auto& [k, v] : req.headers) r.headers.emplace(k, v);
            Record(std::move(r));
            return httplib::Server::HandlerResponse::Unhandled;
        });
        m_nPort = m_server.bind_to_any_port("127.0.0.1");
        if (m_nPort <= 0) return false;
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        // listen_after_bind sets is_running() before it accepts.
        for (int i = 0; i < 500 && !m_server.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        m_bHttplib = true;
        return m_server.is_running();
    }

    // Starts raw mode: kCanned writes response to every connection after its
    // request and closes it; kNeverAnswer keeps the connection open and silent.
    bool StartRaw(RawMode mode, std::string response = std::string()) {
        m_rawMode = mode;
        m_strCanned = std::move(response);
        m_fdListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fdListen < 0) return false;
        int one = 1;
        ::setsockopt(m_fdListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (::bind(m_fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(m_fdListen, 16) != 0)
            return false;
        socklen_t len = sizeof addr;
        ::getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_nPort = ntohs(addr.sin_port);
        m_fdStop = ::eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this] { RawLoop(); });
        return true;
    }

    // Raw responses for kCanned. A complete response: status line, extraHeaders
    // (each line ended by CR LF), Content-Length, Connection: close, body.
    static std::string CannedResponse(int status, const std::string& body,
                                      const std::string& extraHeaders = std::string()) {
        return "HTTP/1.1 " + std::to_string(status) + " Canned\r\n" + extraHeaders +
               "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }
    // Declares declared bytes of body and sends only sent of them.
    static std::string TruncatedResponse(std::size_t declared, std::size_t sent) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(declared) +
               "\r\nConnection: close\r\n\r\n" + std::string(sent, 'x');
    }
    // A text body with a NUL inside: "abc" NUL "hidden".
    static std::string EmbeddedNulResponse() { return CannedResponse(200, std::string("abc\0hidden", 10)); }
    // A header line with two ": " separators ("X-Odd: a: b"), body "ok".
    static std::string DoubleSeparatorResponse() { return CannedResponse(200, "ok", "X-Odd: a: b\r\n"); }

    // A port that nothing listens on (bound, then closed).
    static int UnusedPort() {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        ::close(fd);
        return ntohs(addr.sin_port);
    }

    void Stop() {
        if (m_bHttplib) {
            m_server.stop();
            m_bHttplib = false;
        }
        if (m_fdStop >= 0) {
            std::uint64_t one = 1;
            ssize_t n = ::write(m_fdStop, &one, sizeof one);
            (void)n;
        }
        if (m_thread.joinable()) m_thread.join();
        if (m_fdListen >= 0) ::close(m_fdListen);
        if (m_fdStop >= 0) ::close(m_fdStop);
        m_fdListen = m_fdStop = -1;
    }

    int Port() const { return m_nPort; }
    // "127.0.0.1:port", the host[:port] form the registry values take.
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_nPort); }
    std::string Url(const std::string& target = "/") const { return "http://" + HostPort() + target; }

    std::vector<Request> Requests() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecRequests;
    }
    std::size_t RequestCount() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecRequests.size();
    }
    // Waits up to timeoutMs for at least count requests.
    bool WaitForRequests(std::size_t count, int timeoutMs) const {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (RequestCount() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return RequestCount() >= count;
    }

private:
    static void SplitTarget(Request& r) {
        std::size_t q = r.target.find('?');
        r.path = r.target.substr(0, q);
        r.query = q == std::string::npos ? std::string() : r.target.substr(q + 1);
    }

    void Record(Request r) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecRequests.push_back(std::move(r));
    }

    void RawLoop() {
        std::vector<int> open;
        for (;;) {
            pollfd fds[2] = {{m_fdListen, POLLIN, 0}, {m_fdStop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) break;
            if (!(fds[0].revents & POLLIN)) continue;
            int fd = ::accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::string head;
            if (!ReadHead(fd, head)) {
                ::close(fd);
                continue;
            }
            RecordRaw(head);
            if (m_rawMode == RawMode::kNeverAnswer) {
                open.push_back(fd);
                continue;
            }
            std::size_t off = 0;
            while (off < m_strCanned.size()) {
                ssize_t n = ::send(fd, m_strCanned.data() + off, m_strCanned.size() - off, MSG_NOSIGNAL);
                if (n <= 0) break;
                off += static_cast<std::size_t>(n);
            }
            ::shutdown(fd, SHUT_WR);
            ::close(fd);
        }
        for (int fd : open) ::close(fd);
    }

    // Reads up to the empty line that ends the request head (or gives up when
    // the stop event fires or the peer goes away).
    bool ReadHead(int fd, std::string& head) {
        char buf[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {m_fdStop, POLLIN, 0}};
            if (::poll(fds, 2, 5000) <= 0 || fds[1].revents) return false;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            head.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }

    void RecordRaw(const std::string& head) {
        Request r;
        std::size_t eol = head.find("\r\n");
        std::string line = head.substr(0, eol);
        std::size_t s1 = line.find(' ');
        std::size_t s2 = line.find(' ', s1 + 1);
        if (s1 != std::string::npos) {
            r.method = line.substr(0, s1);
            r.target = line.substr(s1 + 1, s2 == std::string::npos ? std::string::npos : s2 - s1 - 1);
        }
        SplitTarget(r);
        std::size_t pos = eol + 2;
        while (pos < head.size()) {
            std::size_t end = head.find("\r\n", pos);
            if (end == std::string::npos || end == pos) break;
            std::string h = head.substr(pos, end - pos);
            std::size_t colon = h.find(':');
            if (colon != std::string::npos) {
                std::size_t v = h.find_first_not_of(' ', colon + 1);
                r.headers.emplace(h.substr(0, colon), v == std::string::npos ? "" : h.substr(v));
            }
            pos = end + 2;
        }
        Record(std::move(r));
    }

    httplib::Server m_server;
    bool m_bHttplib = false;
    std::thread m_thread;
    int m_nPort = 0;
    int m_fdListen = -1;
    int m_fdStop = -1;
    RawMode m_rawMode = RawMode::kNeverAnswer;
    std::string m_strCanned;
    mutable std::mutex m_mutex;
    std::vector<Request> m_vecRequests;
};

}  // namespace kettrin::test
