#pragma once
// The process-wide text log "ComponentMgr.log" in the application folder.
// Opened once, written from any thread: one write per line under a lock,
// flushed per line so other processes can read it. A log larger than 262144
// bytes is moved to "ComponentMgr.sav" and started afresh, on opening and
// whenever a line takes it past that size. A log that cannot be opened drops
// lines silently.
//
// Lines read "MM-DD-YYYY,hh:mm:ss : " + message + "\n" (local time, 24-hour
// clock) and end in a bare "\n": there is no text mode on Linux that would add
// a CR. Messages are written as they are (UTF-8), except that control
// characters are written escaped ("\n", "\r", "\t", else "\xNN"), so that
// every message stays one line whatever text it carries. The file is opened with
// O_APPEND, so several processes may append to it and read it at once.
#include <atomic>
#include <cstdint>
#include <ctime>
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
    static constexpr const char* kBoxCaption = "Tavrolin";

    // The process-wide log. Opened on first use in the folder that the
    // default-folder source names (the registry library installs
    // mcCMUtils::GetAppPath as that source); without a source, or when
    // Open() was called first, nothing is opened on first use. Never
    // destroyed, so static destructors may still log.
    static mcCMLog& Instance();

    // Where the log opens on first use. Any thread; set before the first
    // line is logged to take effect.
    static void SetDefaultFolderSource(std::string (*pfnFolder)());

    // Closes any open file, rotates and opens folder/ComponentMgr.log:
    // a log larger than kRotationThreshold bytes is moved over any older
    // "ComponentMgr.sav" and a fresh log is started (the log is removed even
    // when that move fails, so it never grows without end). The folder is not
    // created. Returns false (and leaves the log closed) when it cannot be
    // opened. Any thread.
    bool Open(const std::string& folder);
    void Close();
    bool IsOpen() const;

    // "MM-DD-YYYY,hh:mm:ss : " + message + "\n", local time. Returns 0.
    // showBox also writes "Tavrolin: " + message to standard error, whether or
    // not the file is open. Any thread; never throws.
    int Log(mcLogEntry entry);

    // The line Log writes for a message at the given local time.
    static std::string FormatLine(const std::tm& localTime, const std::string& message);

private:
    mcCMLog() = default;
    // Opens the log in the application folder unless that was tried or Open()
    // was called. Called without the lock held (the folder lookup may log).
    void PrvOpenDefault();
    bool PrvOpenLocked(const std::string& folder);
    // Rotates the open log when it has grown past kRotationThreshold.
    void PrvRotateIfFullLocked();

    mutable std::mutex m_mutex;
    int m_fd = -1;
    std::string m_strFolder;  // of the open log
    bool m_bTriedDefault = false;
};

// Shorthand for mcCMLog::Instance().Log({message}).
void mfCMLog(const std::string& message);
