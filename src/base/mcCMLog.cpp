#include "base/mcCMLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/StrUtils.h"

namespace {

// Writes all of text to fd, retrying after signals and short writes.
void PrvWriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::atomic<std::string (*)()>& PrvDefaultFolderSource() {
    static std::atomic<std::string (*)()> pfnSource{nullptr};
    return pfnSource;
}

}  // namespace

void mcCMLog::SetDefaultFolderSource(std::string (*pfnFolder)()) {
    PrvDefaultFolderSource().store(pfnFolder);
}

mcCMLog& mcCMLog::Instance() {
    static mcCMLog* log = new mcCMLog();
    return *log;
}

bool mcCMLog::Open(const std::string& folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bTriedDefault = true;
    return PrvOpenLocked(folder);
}

bool mcCMLog::PrvOpenLocked(const std::string& folder) {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_strFolder = folder;
    std::string logPath = mfPathJoin(folder, kLogFileName);
    std::string savedPath = mfPathJoin(folder, kSavedLogFileName);
    struct stat st {};
    if (::stat(logPath.c_str(), &st) == 0 &&
        static_cast<std::uint64_t>(st.st_size) > kRotationThreshold) {
        (void)::rename(logPath.c_str(), savedPath.c_str());
        (void)::unlink(logPath.c_str());
    }
    m_fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return m_fd >= 0;
}

void mcCMLog::PrvRotateIfFullLocked() {
    struct stat ours {};
    if (::fstat(m_fd, &ours) != 0 || static_cast<std::uint64_t>(ours.st_size) <= kRotationThreshold) return;
    // Another process may have rotated the file we write to already: then the
    // log at the path is a fresh one, which is opened rather than rotated.
    const std::string logPath = mfPathJoin(m_strFolder, kLogFileName);
    struct stat current {};
    if (::stat(logPath.c_str(), &current) == 0 && (current.st_ino != ours.st_ino || current.st_dev != ours.st_dev)) {
        ::close(m_fd);
        m_fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return;
    }
    PrvOpenLocked(m_strFolder);
}

void mcCMLog::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bTriedDefault = true;
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool mcCMLog::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fd >= 0;
}

void mcCMLog::PrvOpenDefault() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bTriedDefault) return;
        m_bTriedDefault = true;
    }
    // Lines logged while the folder is looked up are dropped: the log is not
    // open yet.
    std::string (*pfnSource)() = PrvDefaultFolderSource().load();
    if (pfnSource == nullptr) return;
    std::string folder = pfnSource();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0) PrvOpenLocked(folder);
}

std::string mcCMLog::FormatLine(const std::tm& localTime, const std::string& message) {
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%02d-%02d-%04d,%02d:%02d:%02d : ", localTime.tm_mon + 1,
                  localTime.tm_mday, localTime.tm_year + 1900, localTime.tm_hour,
                  localTime.tm_min, localTime.tm_sec);
    std::string line;
    line.reserve(sizeof prefix + message.size() + 1);
    line += prefix;
    // One message, one line: control characters (caller-supplied names and
    // texts among them) are written escaped.
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : message) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            line += c;
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c == '\t') {
            line += "\\t";
        } else {
            line += "\\x";
            line += kHex[u >> 4];
            line += kHex[u & 0xF];
        }
    }
    line += '\n';
    return line;
}

int mcCMLog::Log(mcLogEntry entry) {
    try {
        PrvOpenDefault();
        std::time_t now = std::time(nullptr);
        std::tm local {};
        localtime_r(&now, &local);
        std::string line = FormatLine(local, entry.message);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_fd >= 0) {
                PrvWriteAll(m_fd, line);
                PrvRotateIfFullLocked();
            }
        }
        if (entry.showBox) {
            std::string box = std::string(kBoxCaption) + ": " + entry.message + "\n";
            PrvWriteAll(STDERR_FILENO, box);
        }
    } catch (...) {
        // Logging never fails towards the caller.
    }
    return 0;
}

void mfCMLog(const std::string& message) { mcCMLog::Instance().Log(mcLogEntry{message}); }
