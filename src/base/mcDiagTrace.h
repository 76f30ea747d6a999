#pragma once
// One named diagnostic trace source. Lines go as datagrams to the trace viewer's
// Unix socket ($KETTRIN_DIAG_SOCKET, else /run/tavrolin/zrdiag.sock); with no
// viewer listening a line is dropped. Send never fails towards the caller and may
// be called from any thread.
//
// Datagram layout (host byte order; the viewer runs on the same machine):
//   offset  0  u32  magic kDatagramMagic ("ZRTR")
//   offset  4  u32  command (kCmdRegister, kCmdLine, kCmdUnregister)
//   offset  8  i32  registration id (the source's, chosen by the sender)
//   offset 12  u32  sender process id
//   offset 16  u32  byte length S of the source name
//   offset 20  u32  byte length T of the text
//   offset 24       source name (UTF-8, S bytes), then the text (UTF-8, T bytes)
// Registration is one-way: the sender numbers its sources itself (unique within
// the process) and expects no reply, so a slow or absent viewer never blocks it.
// Every datagram names its source, so a viewer started late still labels lines.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class mcDiagTrace {
public:
    // Commands of the trace protocol.
    static constexpr std::uint32_t kCmdRegister = 2;
    static constexpr std::uint32_t kCmdUnregister = 3;
    static constexpr std::uint32_t kCmdLine = 7;
    static constexpr std::size_t kMaxLineChars = 3999;
    static constexpr std::uint32_t kDatagramMagic = 0x5254525A;
    static constexpr std::size_t kHeaderSize = 24;
    static constexpr const char* kDefaultSocketPath = "/run/tavrolin/zrdiag.sock";
    static constexpr const char* kSocketEnv = "KETTRIN_DIAG_SOCKET";

    explicit mcDiagTrace(std::string sourceName);
    ~mcDiagTrace();  // unregisters when registered
    mcDiagTrace(const mcDiagTrace&) = delete;
    mcDiagTrace& operator=(const mcDiagTrace&) = delete;

    // Registers on first use (repeated until it succeeds), then sends the line,
    // cut to kMaxLineChars characters (never inside a UTF-8 sequence). A line
    // the viewer cannot take at once (queue full) is dropped, not waited for.
    void Send(const std::string& text) noexcept;

    const std::string& SourceName() const { return m_strSource; }
    // True while registered with a viewer (any thread).
    bool IsConnected();
    std::int32_t RegistrationId();

    // The process-wide sources. They live until the process ends; at exit each
    // registered one sends its unregister command.
    static mcDiagTrace& Core();                // "CORE"
    static mcDiagTrace& InternetConnection();  // "internetconnection"
    static mcDiagTrace& Http();                // "HTTP"

    // $KETTRIN_DIAG_SOCKET when set and not empty, else kDefaultSocketPath.
    static std::string SocketPath();

    // One decoded datagram (see the layout above).
    struct Datagram {
        std::uint32_t command = 0;
        std::int32_t registrationId = -1;
        std::uint32_t pid = 0;
        std::string source;
        std::string text;
    };
    static std::string EncodeDatagram(const Datagram& datagram);
    // False for anything that is not a well-formed datagram (wrong magic, short,
    // lengths that do not add up).
    static bool DecodeDatagram(const void* data, std::size_t size, Datagram* datagram);

    // Text cut to at most maxChars characters, counting UTF-8 sequences.
    static std::string CutToChars(const std::string& text, std::size_t maxChars);

private:
    bool PrvConnect() noexcept;
    bool PrvSendCommand(std::uint32_t command, const std::string& text) noexcept;
    void PrvUnregister() noexcept;
    static mcDiagTrace* PrvProcessSource(const char* name);
    static std::vector<mcDiagTrace*>& PrvProcessSources();
    static std::mutex& PrvProcessSourcesMutex();
    static void PrvUnregisterAll();

    std::mutex m_mutex;
    bool m_bConnected = false;
    std::string m_strSource;
    std::int32_t m_nRegistrationId = -1;
    int m_fdSocket = -1;
    std::string m_strSocketPath;  // where the current registration went
    std::string m_strLastText;    // the text of the last command sent
};
