#pragma once
// One named diagnostic trace source. Lines go as datagrams to the trace viewer's
// Unix socket ($KETTRIN_DIAG_SOCKET, else /run/tavrolin/zrdiag.sock); with no
// viewer listening a line is dropped. Send never fails towards the caller and may
// be called from any thread.
#include <cstdint>
#include <mutex>
#include <string>

class mcDiagTrace {
public:
    // Commands of the trace protocol.
    static constexpr std::uint32_t kCmdRegister = 2;
    static constexpr std::uint32_t kCmdUnregister = 3;
    static constexpr std::uint32_t kCmdLine = 7;
    static constexpr std::size_t kMaxLineChars = 3999;

    explicit mcDiagTrace(std::string sourceName);
    ~mcDiagTrace();  // unregisters when registered
    mcDiagTrace(const mcDiagTrace&) = delete;
    mcDiagTrace& operator=(const mcDiagTrace&) = delete;

    // Registers on first use (repeated until it succeeds), then sends the line,
    // cut to kMaxLineChars characters.
    void Send(const std::string& text) noexcept;

    const std::string& SourceName() const { return m_strSource; }

    // The process-wide sources.
    static mcDiagTrace& Core();                // "CORE"
    static mcDiagTrace& InternetConnection();  // "internetconnection"
    static mcDiagTrace& Http();                // "HTTP"

private:
    bool PrvConnect() noexcept;
    bool PrvSendCommand(std::uint32_t command, const std::string& text) noexcept;

    std::mutex m_mutex;
    bool m_bConnected = false;
    std::string m_strSource;
    std::int32_t m_nRegistrationId = -1;
    int m_fdSocket = -1;
};
