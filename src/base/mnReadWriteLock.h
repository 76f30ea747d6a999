#pragma once
// A reader-writer lock with writer preference: any number of readers may hold
// it at once, a writer holds it alone, and once a writer waits, new readers
// wait too (a steady stream of readers cannot starve a writer).
//
// Not re-entrant and without owner tracking: a thread that holds the lock and
// asks for it again deadlocks; any thread may release. All members may be
// called from any thread.
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace mnThread {

class ReadWriteLock {
public:
    // Unlimited waiting for the timed acquisitions.
    static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

    // Throws mcWin32Exc "failed to initialize ReadWriteLock" when the
    // synchronisation objects cannot be created.
    ReadWriteLock();
    // A lock destroyed while held reports the assertion
    // "m_iLockingReaderCount == 0" on the "CORE" trace and is destroyed anyway.
    // Nobody may be waiting on it.
    ~ReadWriteLock();
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    // Block until read (shared) or write (exclusive) access is granted; return true.
    bool AcquireRead() { return AcquireRead(kInfinite); }
    bool AcquireWrite() { return AcquireWrite(kInfinite); }

    // Wait at most timeoutMs milliseconds (kInfinite: no limit). True when the
    // access was granted; false when the time ran out, and then nothing is held
    // and the lock is as if the call had not been made (0 only tries once).
    bool AcquireRead(std::uint32_t timeoutMs);
    bool AcquireWrite(std::uint32_t timeoutMs);

    // Gives up one read access or the write access. On a free lock throws
    // mcWin32Exc "released ReadWriteLock too many times" and leaves it free.
    void release();

    // Snapshot of the holder count: > 0 readers, -1 a writer, 0 free.
    std::int32_t GetHolderCount() const;
    // Snapshot of the number of blocked readers and writers.
    std::int32_t GetWaitingReaders() const;
    std::int32_t GetWaitingWriters() const;

private:
    // Wakes the next waiters after the holders or the waiters changed:
    // one writer when writers wait, else every waiting reader. Called locked.
    void PrvWakeUp();

    bool m_bPreferWriter = true;
    mutable std::mutex m_mutex;
    std::condition_variable m_cvReaders;  // the reader gate
    std::condition_variable m_cvWriters;  // the writer gate
    std::int32_t m_iWaitingReaders = 0;
    std::int32_t m_iWaitingWriters = 0;
    std::int32_t m_iLockingReaderCount = 0;
};

// Holds read access for its lifetime.
class ReadGuard {
public:
    explicit ReadGuard(ReadWriteLock& lock) : m_pLock(&lock) { lock.AcquireRead(); }
    ~ReadGuard() { Release(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    // Gives the access up early; the destructor then does nothing.
    void Release() noexcept;

private:
    ReadWriteLock* m_pLock;
};

// Holds write access for its lifetime.
class WriteGuard {
public:
    explicit WriteGuard(ReadWriteLock& lock) : m_pLock(&lock) { lock.AcquireWrite(); }
    ~WriteGuard() { Release(); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    void Release() noexcept;

private:
    ReadWriteLock* m_pLock;
};

}  // namespace mnThread
