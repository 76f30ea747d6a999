#pragma once
// mcAppFolderLock: one service instance at a time owns the application
// folder's shared files. The owner holds an exclusive lock (flock) on
// "ComponentMgr.lock" in that folder; a process that wants to load the
// folder's state waits for it, so an instance that is ending (its last save
// still to come) and the instance started after it never work on the files
// at the same time.
//
// The lock belongs to the open file description: it is released when the
// object goes, when the process ends (also when it is killed), and never by
// closing another descriptor. The descriptor is close-on-exec, so programs
// the service starts do not keep the lock alive. Two objects of one process
// on one folder exclude each other like two processes.
//
// Threads: construct and destroy on one thread; the constructor may wait (at
// most the given limit), so it must not run where a running instance serves
// its bus. Failures never throw: a folder where the lock file cannot be made
// (missing, read-only) or a limit that passes leaves the object without the
// lock (IsHeld() false) after a log line, and the caller goes on as before.
#include <chrono>
#include <string>

class mcAppFolderLock {
public:
    static constexpr const char* kFileName = "ComponentMgr.lock";
    static constexpr std::chrono::milliseconds kDefaultWait{20000};

    // Takes the lock, waiting at most waitLimit while another holder has it
    // ("mcAppFolderLock waiting for <path>" once, then "mcAppFolderLock taken
    // after <n> ms" or "mcAppFolderLock not taken, going on without it: ...").
    mcAppFolderLock(const std::string& strAppPath, std::chrono::milliseconds waitLimit);
    // Releases the lock.
    ~mcAppFolderLock();
    mcAppFolderLock(const mcAppFolderLock&) = delete;
    mcAppFolderLock& operator=(const mcAppFolderLock&) = delete;

    bool IsHeld() const { return m_bHeld; }
    const std::string& GetPath() const { return m_strPath; }

private:
    std::string m_strPath;
    int m_fd = -1;
    bool m_bHeld = false;
};
