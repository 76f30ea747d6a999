#pragma once
// The first-in first-out queue of an engine: a doubly linked list of job
// pointers with its own reader-writer lock. Every member takes the lock for
// its own duration only, so any thread may call any member at any time.
//
// The list holds pointers and never owns them: unlinking a node (PopFront,
// Clear) never destroys the job; the caller gets the pointer back and decides.
#include <cstddef>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "base/mnReadWriteLock.h"

class mcComponentMgrJob;

class mcJobList {
public:
    mcJobList();
    ~mcJobList();
    mcJobList(const mcJobList&) = delete;
    mcJobList& operator=(const mcJobList&) = delete;

    // Appends pJob at the tail. Throws std::bad_alloc when memory runs out;
    // the list is unchanged then. Nothing else limits the length.
    void PushBack(mcComponentMgrJob* pJob);

    // The job at the head, or null when the list is empty. The pointer is a
    // snapshot: only the thread that pops may rely on it staying valid.
    mcComponentMgrJob* Front() const;

    // Unlinks the head node and returns its job; null when the list is empty.
    mcComponentMgrJob* PopFront();

    // Calls fn with the head job while holding the lock, so that the job cannot
    // be unlinked (and so freed by its owner) meanwhile. fn must be short and
    // must not call back into this list. False (fn not called) when empty.
    bool WithFront(const std::function<void(mcComponentMgrJob&)>& fn) const;

    // True when some job in the list has exactly this component name.
    bool ContainsComponent(const std::string& strComponentName) const;

    // Unlinks every node and returns the jobs, head first.
    std::vector<mcComponentMgrJob*> Clear();

    std::size_t GetCount() const;
    bool IsEmpty() const { return GetCount() == 0; }

private:
    mutable mnThread::ReadWriteLock m_lock;
    std::list<mcComponentMgrJob*> m_listJobs;
};
