// mnThread::ReadWriteLock under real threads. Waits are condition checks on the
// lock's own counters with a generous deadline; no sleep decides a result.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/ScratchMachine.h"
#include "support/TraceListener.h"
#include "base/mcWin32Exc.h"
#include "base/mnReadWriteLock.h"

using mnThread::ReadGuard;
using mnThread::ReadWriteLock;
using mnThread::WriteGuard;

namespace {

bool WaitFor(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

TEST(ReadWriteLockTest, ReadersShareWriterWaitsForAll) {
    ReadWriteLock lock;
    ASSERT_TRUE(lock.AcquireRead());
    ASSERT_TRUE(lock.AcquireRead());  // a second reader is let in at once
    EXPECT_EQ(lock.GetHolderCount(), 2);

    std::atomic<bool> writing{false};
    std::thread writer([&] {
        lock.AcquireWrite();
        writing = true;
        lock.release();
    });
    ASSERT_TRUE(WaitFor([&] { return lock.GetWaitingWriters() == 1; }));
    lock.release();
    EXPECT_EQ(lock.GetHolderCount(), 1);  // one reader left: the writer cannot be in
    EXPECT_FALSE(writing);
    lock.release();
    writer.join();
    EXPECT_TRUE(writing);
    EXPECT_EQ(lock.GetHolderCount(), 0);
}

TEST(ReadWriteLockTest, WaitingWriterHoldsBackNewReadersWhoThenGoTogether) {
    ReadWriteLock lock;
    lock.AcquireRead();  // reader R0

    std::atomic<bool> writerIn{false};
    std::atomic<bool> writerMayLeave{false};
    std::thread writer([&] {
        lock.AcquireWrite();
        writerIn = true;
        while (!writerMayLeave) std::this_thread::yield();
        lock.release();
    });
    ASSERT_TRUE(WaitFor([&] { return lock.GetWaitingWriters() == 1; }));

    constexpr int kReaders = 3;
    std::atomic<int> readersIn{0};
    std::atomic<bool> readersMayLeave{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&] {
            lock.AcquireRead();
            ++readersIn;
            while (!readersMayLeave) std::this_thread::yield();
            lock.release();
        });
    }
    // New readers wait although R0 still reads: a writer is waiting.
    ASSERT_TRUE(WaitFor([&] { return lock.GetWaitingReaders() == kReaders; }));
    EXPECT_EQ(readersIn, 0);
    EXPECT_EQ(lock.GetHolderCount(), 1);

    lock.release();  // R0 leaves: the writer goes first
    ASSERT_TRUE(WaitFor([&] { return writerIn.load(); }));
    EXPECT_EQ(lock.GetHolderCount(), -1);
    EXPECT_EQ(readersIn, 0);

    writerMayLeave = true;  // then every waiting reader, all at once
    ASSERT_TRUE(WaitFor([&] { return readersIn == kReaders; }));
    EXPECT_EQ(lock.GetHolderCount(), kReaders);
    readersMayLeave = true;
    writer.join();
    for (auto& t : readers) t.join();
    EXPECT_EQ(lock.GetHolderCount(), 0);
}

TEST(ReadWriteLockTest, ReleasingAFreeLockThrowsAndLeavesItFree) {
    ReadWriteLock lock;
    try {
        lock.release();
        FAIL() << "release on a free lock returned";
    } catch (const mcWin32Exc& exc) {
        EXPECT_EQ(exc.Function(), "mnThread::ReadWriteLock::release");
        EXPECT_EQ(exc.Line(), 212);
        EXPECT_EQ(exc.Description().rfind("released ReadWriteLock too many times - Win32 Error: ", 0),
                  0u)
            << exc.Description();
    }
    EXPECT_EQ(lock.GetHolderCount(), 0);
    EXPECT_TRUE(lock.AcquireWrite(0));
    lock.release();
    EXPECT_THROW(lock.release(), mcWin32Exc);
    EXPECT_EQ(lock.GetHolderCount(), 0);
}

TEST(ReadWriteLockTest, DestroyingAHeldLockReportsTheAssertion) {
    testsupport::ScratchMachine machine;
    TraceListener listener(machine.TraceSocketPath());
    ASSERT_TRUE(listener.IsBound());
    {
        ReadWriteLock lock;
        lock.AcquireWrite();
    }
    std::optional<mcDiagTrace::Datagram> line;
    do {
        line = listener.ReceiveFrom("CORE");
    } while (line && line->command != mcDiagTrace::kCmdLine);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->text.rfind("Assertion failed,\"m_iLockingReaderCount == 0\","
                               "mnThread::ReadWriteLock::~ReadWriteLock(),mnReadWriteLock.cpp(48)",
                               0),
              0u)
        << line->text;

    // A lock released properly reports nothing.
    { ReadWriteLock lock; lock.AcquireRead(); lock.release(); }
    EXPECT_TRUE(listener.Quiet());
}

TEST(ReadWriteLockTest, TimedAcquisitionsReturnFalseAndHoldNothing) {
    ReadWriteLock lock;
    lock.AcquireRead();
    EXPECT_FALSE(lock.AcquireWrite(0));
    EXPECT_FALSE(lock.AcquireWrite(20));
    EXPECT_EQ(lock.GetWaitingWriters(), 0);
    EXPECT_EQ(lock.GetHolderCount(), 1);
    EXPECT_TRUE(lock.AcquireRead(0));  // no writer waits any more: readers pass
    lock.release();
    lock.release();

    lock.AcquireWrite();
    EXPECT_FALSE(lock.AcquireRead(0));
    EXPECT_FALSE(lock.AcquireRead(20));
    EXPECT_FALSE(lock.AcquireWrite(20));
    EXPECT_EQ(lock.GetHolderCount(), -1);
    EXPECT_EQ(lock.GetWaitingReaders(), 0);
    lock.release();
    EXPECT_TRUE(lock.AcquireWrite(0));
    lock.release();
}

TEST(ReadWriteLockTest, WriterThatGivesUpLetsHeldBackReadersGo) {
    ReadWriteLock lock;
    lock.AcquireRead();
    std::atomic<int> writerResult{-1};
    std::thread writer([&] { writerResult = lock.AcquireWrite(300) ? 1 : 0; });
    ASSERT_TRUE(WaitFor([&] { return lock.GetWaitingWriters() == 1; }));
    std::atomic<bool> readerIn{false};
    std::thread reader([&] {
        lock.AcquireRead();  // held back by the waiting writer
        readerIn = true;
    });
    ASSERT_TRUE(WaitFor([&] { return lock.GetWaitingReaders() == 1; }));
    // The writer's time runs out while R0 still reads; the reader must not be
    // left waiting for a writer that is gone.
    writer.join();
    EXPECT_EQ(writerResult, 0);
    EXPECT_TRUE(WaitFor([&] { return readerIn.load(); }));
    reader.join();
    EXPECT_EQ(lock.GetHolderCount(), 2);
    lock.release();
    lock.release();
}

TEST(ReadWriteLockTest, TimedOutWriterPassesItsWakeUpOn) {
    ReadWriteLock lock;
    lock.AcquireRead();
    std::atomic<bool> patientIn{false};
    std::thread patient([&] {
        lock.AcquireWrite();
        patientIn = true;
        lock.release();
    });
    std::thread impatient([&] {
        if (lock.AcquireWrite(200)) lock.release();
    });
    ASSERT_TRUE(WaitFor([&] { return lock.GetWaitingWriters() == 2; }));
    lock.release();  // one of them goes; whichever it is, both must finish
    impatient.join();
    patient.join();
    EXPECT_TRUE(patientIn);
    EXPECT_EQ(lock.GetHolderCount(), 0);
    EXPECT_EQ(lock.GetWaitingWriters(), 0);
}

TEST(ReadWriteLockTest, GuardsReleaseOnScopeExit) {
    ReadWriteLock lock;
    {
        ReadGuard a(lock);
        ReadGuard b(lock);
        EXPECT_EQ(lock.GetHolderCount(), 2);
        b.Release();
        EXPECT_EQ(lock.GetHolderCount(), 1);
    }
    EXPECT_EQ(lock.GetHolderCount(), 0);
    {
        WriteGuard w(lock);
        EXPECT_EQ(lock.GetHolderCount(), -1);
    }
    EXPECT_EQ(lock.GetHolderCount(), 0);
}

TEST(ReadWriteLockTest, ExclusionHoldsUnderContention) {
    ReadWriteLock lock;
    std::atomic<int> readers{0};
    std::atomic<int> writers{0};
    std::atomic<int> violations{0};
    long shared = 0;
    constexpr int kIterations = 3000;
    auto writerBody = [&] {
        for (int i = 0; i < kIterations; ++i) {
            WriteGuard guard(lock);
            if (++writers != 1 || readers != 0) ++violations;
            ++shared;
            --writers;
        }
    };
    auto readerBody = [&] {
        for (int i = 0; i < kIterations; ++i) {
            ReadGuard guard(lock);
            ++readers;
            if (writers != 0) ++violations;
            --readers;
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(writerBody);
    threads.emplace_back(writerBody);
    threads.emplace_back(readerBody);
    threads.emplace_back(readerBody);
    for (auto& t : threads) t.join();
    EXPECT_EQ(violations, 0);
    EXPECT_EQ(shared, 2L * kIterations);
    EXPECT_EQ(lock.GetHolderCount(), 0);
}
