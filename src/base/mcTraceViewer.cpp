#include "base/mcTraceViewer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Large enough for a header, a source name and 3999 four-byte characters.
constexpr std::size_t kReceiveBufferSize = 65536;

bool PrvMakeAddress(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address->sun_path) return false;
    std::memcpy(address->sun_path, path.data(), path.size());
    return true;
}

bool PrvMakeParents(const std::string& path) {
    for (std::size_t pos = path.find('/', 1); pos != std::string::npos;
         pos = path.find('/', pos + 1)) {
        std::string dir = path.substr(0, pos);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Length of the valid UTF-8 sequence at text[i] and its code point; 0 when invalid.
std::size_t PrvDecodeUtf8(const std::string& text, std::size_t i, char32_t* cp) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len;
    char32_t value;
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        value = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        value = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        value = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        value = (value << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are invalid.
    if ((len == 3 && value < 0x800) || (len == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
        (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *cp = value;
    return len;
}

}  // namespace

mcTraceViewer::~mcTraceViewer() { Close(); }

bool mcTraceViewer::Bind(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& text) {
        if (error != nullptr) *error = text;
        return false;
    };
    Close();
    sockaddr_un address;
    if (!PrvMakeAddress(path, &address)) return fail("socket path too long or empty: " + path);
    if (!PrvMakeParents(path)) {
        return fail("cannot create the folder of " + path + ": " + std::strerror(errno));
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return fail(path + " exists and is not a socket");
        int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (probe < 0) return fail(std::string("socket: ") + std::strerror(errno));
        int rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        int err = errno;
        ::close(probe);
        if (rc == 0) return fail("another trace viewer is listening on " + path);
        if (err != ECONNREFUSED) return fail("cannot probe " + path + ": " + std::strerror(err));
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return fail("cannot remove the stale socket " + path + ": " + std::strerror(errno));
        }
    }
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::string text = "cannot bind " + path + ": " + std::strerror(errno);
        ::close(m_fd);
        m_fd = -1;
        return fail(text);
    }
    m_strPath = path;
    if (::stat(path.c_str(), &st) == 0) {
        m_nInode = st.st_ino;
        m_nDevice = st.st_dev;
    }
    return true;
}

std::optional<mcDiagTrace::Datagram> mcTraceViewer::Receive(int timeoutMs) {
    if (m_fd < 0) return std::nullopt;
    std::vector<char> buffer(kReceiveBufferSize);
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        int rc = ::poll(&p, 1, timeoutMs);
        if (rc <= 0) return std::nullopt;
        // MSG_TRUNC: a datagram larger than the buffer reports its full size
        // and is then rejected as malformed.
        ssize_t n = ::recv(m_fd, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return std::nullopt;
        }
        if (static_cast<std::size_t>(n) > buffer.size()) continue;
        mcDiagTrace::Datagram datagram;
        if (mcDiagTrace::DecodeDatagram(buffer.data(), static_cast<std::size_t>(n), &datagram)) {
            return datagram;
        }
    }
}

void mcTraceViewer::Close() {
    if (m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
    struct stat st;
    if (::lstat(m_strPath.c_str(), &st) == 0 && st.st_ino == m_nInode && st.st_dev == m_nDevice) {
        ::unlink(m_strPath.c_str());
    }
    m_strPath.clear();
}

std::string mcTraceViewer::Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        std::size_t len = PrvDecodeUtf8(text, i, &cp);
        if (len == 0) {
            out += '?';
            ++i;
            continue;
        }
        bool control = (cp < 0x20 && cp != '\t') || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F);
        if (control) {
            out += '?';
        } else {
            out.append(text, i, len);
        }
        i += len;
    }
    return out;
}

std::string mcTraceViewer::FormatLine(const mcDiagTrace::Datagram& datagram) {
    std::string source = Printable(datagram.source);
    switch (datagram.command) {
    case mcDiagTrace::kCmdLine:
        return source + ": " + Printable(datagram.text);
    case mcDiagTrace::kCmdRegister:
        return source + ": [registered pid " + std::to_string(datagram.pid) + " id " +
               std::to_string(datagram.registrationId) + "]";
    case mcDiagTrace::kCmdUnregister:
        return source + ": [unregistered pid " + std::to_string(datagram.pid) + " id " +
               std::to_string(datagram.registrationId) + "]";
    default:
        return source + ": [unknown command " + std::to_string(datagram.command) + "]";
    }
}
