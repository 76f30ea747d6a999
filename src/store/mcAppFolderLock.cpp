#include "store/mcAppFolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "base/StrUtils.h"
#include "base/mcCMLog.h"

namespace {

constexpr std::chrono::milliseconds kPollInterval{10};

}  // namespace

mcAppFolderLock::mcAppFolderLock(const std::string& strAppPath, std::chrono::milliseconds waitLimit)
    : m_strPath(mfPathJoin(strAppPath, kFileName)) {
    // Never creates the folder: a missing folder is the caller's failure.
    m_fd = open(m_strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (m_fd < 0) {
        mfCMLog("mcAppFolderLock not taken, going on without it: " + m_strPath + ": " + std::strerror(errno));
        return;
    }
    const auto tpStart = std::chrono::steady_clock::now();
    bool bWaited = false;
    for (;;) {
        if (flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
            m_bHeld = true;
            break;
        }
        const int err = errno;
        if (err == EINTR) continue;
        const auto elapsed = std::chrono::steady_clock::now() - tpStart;
        if (err != EWOULDBLOCK || elapsed >= waitLimit) {
            mfCMLog("mcAppFolderLock not taken, going on without it: " + m_strPath + ": " +
                    (err == EWOULDBLOCK ? std::string("still held by another instance") : std::strerror(err)));
            return;
        }
        if (!bWaited) {
            mfCMLog("mcAppFolderLock waiting for " + m_strPath);
            bWaited = true;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    if (bWaited) {
        const auto nMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - tpStart).count();
        mfCMLog("mcAppFolderLock taken after " + std::to_string(nMs) + " ms");
    }
}

mcAppFolderLock::~mcAppFolderLock() {
    // Closing the only descriptor of the open file releases the lock.
    if (m_fd >= 0) close(m_fd);
}
