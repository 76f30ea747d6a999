#include "base/mnReadWriteLock.h"

#include <chrono>
#include <system_error>

#include "base/Win32Error.h"
#include "base/mcWin32Exc.h"
#include "base/mfReportAssertion.h"

namespace mnThread {

namespace {

constexpr const char* kInitFailed = "failed to initialize ReadWriteLock";
constexpr const char* kReleasedTooOften = "released ReadWriteLock too many times";

// Waits on cv until ready() holds or the deadline passes; counts itself in
// waiting while blocked. Returns ready().
template <typename Ready>
bool PrvWait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
             std::int32_t& waiting, std::uint32_t timeoutMs, Ready ready) {
    if (ready()) return true;
    if (timeoutMs == 0) return false;
    ++waiting;
    if (timeoutMs == ReadWriteLock::kInfinite) {
        cv.wait(lock, ready);
    } else {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        cv.wait_until(lock, deadline, ready);
    }
    --waiting;
    return ready();
}

}  // namespace

ReadWriteLock::ReadWriteLock() try {
} catch (const std::system_error& error) {
    // The members that can fail are the two gates; report as the gate setup.
    mfSetLastErrorFromErrno(error.code().value());
    KTHROW_AT(mcWin32Exc, "mnThread::ReadWriteLock::ReadWriteLock", 31, kInitFailed);
}

ReadWriteLock::~ReadWriteLock() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_iLockingReaderCount != 0) {
        mfReportAssertion("mnThread::ReadWriteLock::~ReadWriteLock", __FILE__, 48,
                          "m_iLockingReaderCount == 0");
    }
    m_iLockingReaderCount = 0;
    m_iWaitingReaders = 0;
    m_iWaitingWriters = 0;
}

bool ReadWriteLock::AcquireRead(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto ready = [this] {
        return m_iLockingReaderCount >= 0 && !(m_bPreferWriter && m_iWaitingWriters > 0);
    };
    if (!PrvWait(lock, m_cvReaders, m_iWaitingReaders, timeoutMs, ready)) return false;
    ++m_iLockingReaderCount;
    return true;
}

bool ReadWriteLock::AcquireWrite(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto ready = [this] { return m_iLockingReaderCount == 0; };
    if (!PrvWait(lock, m_cvWriters, m_iWaitingWriters, timeoutMs, ready)) {
        // This writer no longer waits: readers it held back may go now, and a
        // wake-up meant for it must pass on to the next writer.
        PrvWakeUp();
        return false;
    }
    m_iLockingReaderCount = -1;
    return true;
}

void ReadWriteLock::release() {
    bool bWasFree = false;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_iLockingReaderCount > 0) {
            --m_iLockingReaderCount;  // a reader leaves
        } else if (m_iLockingReaderCount < 0) {
            ++m_iLockingReaderCount;  // the writer leaves
        } else {
            bWasFree = true;
        }
        if (!bWasFree) PrvWakeUp();
    }
    if (bWasFree) {
        mfSetLastError(ERROR_NOT_OWNER);
        KTHROW_AT(mcWin32Exc, "mnThread::ReadWriteLock::release", 212, kReleasedTooOften);
    }
}

void ReadWriteLock::PrvWakeUp() {
    // A waiter that cannot go yet would only test and sleep again, so the
    // gates open only when the woken side can actually proceed.
    if (m_iWaitingWriters > 0) {
        if (m_iLockingReaderCount == 0) m_cvWriters.notify_one();
    } else if (m_iWaitingReaders > 0) {
        if (m_iLockingReaderCount >= 0) m_cvReaders.notify_all();
    }
}

std::int32_t ReadWriteLock::GetHolderCount() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_iLockingReaderCount;
}

std::int32_t ReadWriteLock::GetWaitingReaders() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_iWaitingReaders;
}

std::int32_t ReadWriteLock::GetWaitingWriters() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_iWaitingWriters;
}

void ReadGuard::Release() noexcept {
    if (m_pLock == nullptr) return;
    try {
        m_pLock->release();
    } catch (...) {
        // Only possible when someone else released our access; already announced.
    }
    m_pLock = nullptr;
}

void WriteGuard::Release() noexcept {
    if (m_pLock == nullptr) return;
    try {
        m_pLock->release();
    } catch (...) {
    }
    m_pLock = nullptr;
}

}  // namespace mnThread
