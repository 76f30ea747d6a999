#include "base/mcDiagTrace.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::atomic<std::int32_t> g_nNextRegistrationId{1};

void PrvPutU32(std::string& out, std::uint32_t value) {
    char bytes[4];
    std::memcpy(bytes, &value, 4);
    out.append(bytes, 4);
}

std::uint32_t PrvGetU32(const unsigned char* p) {
    std::uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

bool PrvMakeAddress(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address->sun_path) return false;
    std::memcpy(address->sun_path, path.data(), path.size());
    return true;
}

}  // namespace

mcDiagTrace::mcDiagTrace(std::string sourceName) : m_strSource(std::move(sourceName)) {}

mcDiagTrace::~mcDiagTrace() {
    PrvUnregister();
    if (m_fdSocket >= 0) ::close(m_fdSocket);
}

std::string mcDiagTrace::SocketPath() {
    const char* path = std::getenv(kSocketEnv);
    return (path != nullptr && *path != '\0') ? std::string(path) : std::string(kDefaultSocketPath);
}

std::string mcDiagTrace::CutToChars(const std::string& text, std::size_t maxChars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // A character starts at every byte that is not a continuation byte.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == maxChars) return text.substr(0, i);
            ++chars;
        }
    }
    return text;
}

std::string mcDiagTrace::EncodeDatagram(const Datagram& datagram) {
    std::string out;
    out.reserve(kHeaderSize + datagram.source.size() + datagram.text.size());
    PrvPutU32(out, kDatagramMagic);
    PrvPutU32(out, datagram.command);
    PrvPutU32(out, static_cast<std::uint32_t>(datagram.registrationId));
    PrvPutU32(out, datagram.pid);
    PrvPutU32(out, static_cast<std::uint32_t>(datagram.source.size()));
    PrvPutU32(out, static_cast<std::uint32_t>(datagram.text.size()));
    out += datagram.source;
    out += datagram.text;
    return out;
}

bool mcDiagTrace::DecodeDatagram(const void* data, std::size_t size, Datagram* datagram) {
    if (data == nullptr || size < kHeaderSize) return false;
    const auto* p = static_cast<const unsigned char*>(data);
    if (PrvGetU32(p) != kDatagramMagic) return false;
    const std::uint64_t sourceSize = PrvGetU32(p + 16);
    const std::uint64_t textSize = PrvGetU32(p + 20);
    if (kHeaderSize + sourceSize + textSize != size) return false;
    if (datagram != nullptr) {
        datagram->command = PrvGetU32(p + 4);
        datagram->registrationId = static_cast<std::int32_t>(PrvGetU32(p + 8));
        datagram->pid = PrvGetU32(p + 12);
        const char* body = reinterpret_cast<const char*>(p + kHeaderSize);
        datagram->source.assign(body, sourceSize);
        datagram->text.assign(body + sourceSize, textSize);
    }
    return true;
}

bool mcDiagTrace::PrvSendCommand(std::uint32_t command, const std::string& text) noexcept {
    try {
        sockaddr_un address;
        if (!PrvMakeAddress(m_strSocketPath, &address)) {
            errno = ENAMETOOLONG;
            return false;
        }
        if (m_fdSocket < 0) {
            m_fdSocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (m_fdSocket < 0) return false;
        }
        Datagram datagram;
        datagram.command = command;
        datagram.registrationId = m_nRegistrationId;
        datagram.pid = static_cast<std::uint32_t>(::getpid());
        datagram.source = m_strSource;
        datagram.text = text;
        const std::string bytes = EncodeDatagram(datagram);
        m_strLastText = text;
        ssize_t sent;
        do {
            sent = ::sendto(m_fdSocket, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&address), sizeof address);
        } while (sent < 0 && errno == EINTR);
        return sent == static_cast<ssize_t>(bytes.size());
    } catch (...) {
        return false;
    }
}

bool mcDiagTrace::PrvConnect() noexcept {
    if (m_nRegistrationId == -1) m_nRegistrationId = g_nNextRegistrationId.fetch_add(1);
    if (!PrvSendCommand(kCmdRegister, m_strSource)) return false;
    m_bConnected = true;
    return true;
}

void mcDiagTrace::Send(const std::string& text) noexcept {
    try {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::string path = SocketPath();
        if (m_bConnected && path != m_strSocketPath) m_bConnected = false;  // viewer moved
        if (!m_bConnected) {
            m_strSocketPath = std::move(path);
            if (!PrvConnect()) return;  // no viewer: drop, try again next line
        }
        if (!PrvSendCommand(kCmdLine, CutToChars(text, kMaxLineChars))) {
            // A full queue only costs this line; a vanished viewer means the
            // next line registers again (with whichever viewer is there then).
            if (errno != EAGAIN && errno != EWOULDBLOCK) m_bConnected = false;
        }
    } catch (...) {
        // Tracing never fails towards the caller.
    }
}

void mcDiagTrace::PrvUnregister() noexcept {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_bConnected && m_nRegistrationId != -1) {
        PrvSendCommand(kCmdUnregister, m_strLastText);
        m_nRegistrationId = -1;
    }
    m_bConnected = false;
}

bool mcDiagTrace::IsConnected() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_bConnected;
}

std::int32_t mcDiagTrace::RegistrationId() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_nRegistrationId;
}

std::vector<mcDiagTrace*>& mcDiagTrace::PrvProcessSources() {
    static auto* sources = new std::vector<mcDiagTrace*>;
    return *sources;
}

std::mutex& mcDiagTrace::PrvProcessSourcesMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

void mcDiagTrace::PrvUnregisterAll() {
    std::lock_guard<std::mutex> guard(PrvProcessSourcesMutex());
    for (mcDiagTrace* source : PrvProcessSources()) source->PrvUnregister();
}

mcDiagTrace* mcDiagTrace::PrvProcessSource(const char* name) {
    // Never destroyed, so that exceptions thrown from other static destructors
    // can still be announced; unregistering happens at exit instead.
    auto* source = new mcDiagTrace(name);
    std::lock_guard<std::mutex> guard(PrvProcessSourcesMutex());
    if (PrvProcessSources().empty()) std::atexit(&mcDiagTrace::PrvUnregisterAll);
    PrvProcessSources().push_back(source);
    return source;
}

mcDiagTrace& mcDiagTrace::Core() {
    static mcDiagTrace* source = PrvProcessSource("CORE");
    return *source;
}

mcDiagTrace& mcDiagTrace::InternetConnection() {
    static mcDiagTrace* source = PrvProcessSource("internetconnection");
    return *source;
}

mcDiagTrace& mcDiagTrace::Http() {
    static mcDiagTrace* source = PrvProcessSource("HTTP");
    return *source;
}

namespace {
// "internetconnection" and "HTTP" exist from start-up on; "CORE" from first use.
[[maybe_unused]] const bool g_bStartupSources =
    (mcDiagTrace::InternetConnection(), mcDiagTrace::Http(), true);
}  // namespace
