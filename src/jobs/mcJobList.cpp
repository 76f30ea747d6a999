#include "jobs/mcJobList.h"

#include "jobs/mcComponentMgrJob.h"

mcJobList::mcJobList() = default;

mcJobList::~mcJobList() = default;

void mcJobList::PushBack(mcComponentMgrJob* pJob) {
    mnThread::WriteGuard guard(m_lock);
    m_listJobs.push_back(pJob);
}

mcComponentMgrJob* mcJobList::Front() const {
    mnThread::ReadGuard guard(m_lock);
    return m_listJobs.empty() ? nullptr : m_listJobs.front();
}

mcComponentMgrJob* mcJobList::PopFront() {
    mnThread::WriteGuard guard(m_lock);
    if (m_listJobs.empty()) return nullptr;
    mcComponentMgrJob* pJob = m_listJobs.front();
    m_listJobs.pop_front();
    return pJob;
}

bool mcJobList::WithFront(const std::function<void(mcComponentMgrJob&)>& fn) const {
    mnThread::ReadGuard guard(m_lock);
    if (m_listJobs.empty() || m_listJobs.front() == nullptr) return false;
    fn(*m_listJobs.front());
    return true;
}

bool mcJobList::ContainsComponent(const std::string& strComponentName) const {
    mnThread::ReadGuard guard(m_lock);
    for (const mcComponentMgrJob* pJob : m_listJobs) {
        if (pJob != nullptr && pJob->GetComponentName() == strComponentName) return true;
    }
    return false;
}

std::vector<mcComponentMgrJob*> mcJobList::Clear() {
    mnThread::WriteGuard guard(m_lock);
    std::vector<mcComponentMgrJob*> vecJobs(m_listJobs.begin(), m_listJobs.end());
    m_listJobs.clear();
    return vecJobs;
}

std::size_t mcJobList::GetCount() const {
    mnThread::ReadGuard guard(m_lock);
    return m_listJobs.size();
}
