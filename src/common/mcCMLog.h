#pragma once
// The process-wide text log "ComponentMgr.log" in the application folder.
// Opened once (rotating a file larger than 262144 bytes to "ComponentMgr.sav"),
// written from any thread: one write per line under a lock, flushed per line so
// other processes can read it. A log that cannot be opened drops lines silently.
#include <cstdint>
#include <mutex>
#include <string>

struct mcLogEntry {
    std::string message;
    bool showBox = false;        // also print the message on standard error
    std::uint32_t boxStyle = 0;  // kept for callers; no meaning on Linux
};

class mcCMLog {
public:
    static constexpr const char* kLogFileName = "ComponentMgr.log";
    static constexpr const char* kSavedLogFileName = "ComponentMgr.sav";
    static constexpr std::uint64_t kRotationThreshold = 262144;

    // The process-wide log. Opened on first use in mcCMUtils::GetAppPath();
    // programs and tests may call Open() before that to choose the folder.
    static mcCMLog& Instance();

    // Closes any open file, rotates and opens folder/ComponentMgr.log.
    // Returns false (and leaves the log closed) when it cannot be opened.
    bool Open(const std::string& folder);
    void Close();
    bool IsOpen() const;

    // "MM-DD-YYYY,hh:mm:ss : " + message + "\n", local time. Returns 0.
    int Log(mcLogEntry entry);

private:
    mcCMLog() = default;
    mutable std::mutex m_mutex;
    int m_fd = -1;
    bool m_bTriedDefault = false;
};

// Shorthand for mcCMLog::Instance().Log({message}).
void mfCMLog(const std::string& message);
