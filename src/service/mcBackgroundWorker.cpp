#include "service/mcBackgroundWorker.h"

#include <algorithm>

#include "service/IComponentMgrApartment.h"

mcBackgroundWorker::mcBackgroundWorker(IComponentMgrApartment& apartment) : m_apartment(apartment) {}

mcBackgroundWorker::~mcBackgroundWorker() { Stop(); }

bool mcBackgroundWorker::Submit(Work work, Completion done) {
    if (m_bStopped) return false;
    m_vecPending.erase(std::remove_if(m_vecPending.begin(), m_vecPending.end(),
                                      [](const std::shared_ptr<PrvJob>& p) { return p->bDelivered; }),
                       m_vecPending.end());
    if (!m_thread.joinable()) m_thread = std::thread([this] { PrvThreadMain(); });
    auto pJob = std::make_shared<PrvJob>();
    pJob->work = std::move(work);
    pJob->done = std::move(done);
    m_vecPending.push_back(pJob);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queJobs.push_back(std::move(pJob));
    }
    m_cv.notify_one();
    return true;
}

void mcBackgroundWorker::Stop() {
    if (m_bStopped) return;
    m_bStopped = true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bQuit = true;
        m_queJobs.clear();
    }
    m_cv.notify_one();
    if (m_thread.joinable()) m_thread.join();
    // The worker has ended: what it wrote is visible here. Completions
    // posted but not run yet find their job delivered and do nothing.
    std::vector<std::shared_ptr<PrvJob>> vecPending;
    vecPending.swap(m_vecPending);
    for (const std::shared_ptr<PrvJob>& pJob : vecPending) PrvDeliver(pJob);
}

std::size_t mcBackgroundWorker::PendingCount() const {
    return static_cast<std::size_t>(std::count_if(m_vecPending.begin(), m_vecPending.end(),
                                                  [](const std::shared_ptr<PrvJob>& p) { return !p->bDelivered; }));
}

void mcBackgroundWorker::PrvDeliver(const std::shared_ptr<PrvJob>& pJob) {
    if (pJob->bDelivered) return;
    pJob->bDelivered = true;
    Completion done = std::move(pJob->done);
    pJob->done = nullptr;
    if (done) done(pJob->bRan);
}

void mcBackgroundWorker::PrvThreadMain() {
    for (;;) {
        std::shared_ptr<PrvJob> pJob;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [this] { return m_bQuit || !m_queJobs.empty(); });
            if (m_bQuit) return;
            pJob = std::move(m_queJobs.front());
            m_queJobs.pop_front();
        }
        try {
            if (pJob->work) pJob->work();
        } catch (...) {
            // The owner's work reports its own faults; nothing may end this
            // thread early.
        }
        // Only the job's own state travels: the completion must not run on
        // this thread, and the job must not be released here either (its
        // completion may hold state of the main thread).
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            pJob->bRan = true;
        }
        std::shared_ptr<PrvJob> pPosted = pJob;
        if (!m_apartment.Post([pPosted] { PrvDeliver(pPosted); })) {
            // The main thread no longer takes tasks: Stop delivers it.
        }
        pJob.reset();
    }
}
