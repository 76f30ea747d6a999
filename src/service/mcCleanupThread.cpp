#include "service/mcCleanupThread.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <system_error>

#include "base/OsDependent.h"

mcCleanupThread::mcCleanupThread(std::chrono::milliseconds interval, std::function<void()> fnTrim)
    : m_interval(interval), m_fnTrim(fnTrim ? std::move(fnTrim) : std::function<void()>(mfTrimWorkingSet)) {}

mcCleanupThread::~mcCleanupThread() { Stop(); }

bool mcCleanupThread::Start() {
    if (m_thread.joinable()) return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = false;
    }
    try {
        m_thread = std::thread([this] { PrvRun(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void mcCleanupThread::Stop() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_cvStop.notify_all();
    m_thread.join();
}

int mcCleanupThread::ThreadId() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nTid;
}

int mcCleanupThread::TrimCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nTrims;
}

void mcCleanupThread::PrvRun() {
    // The lowest priority there is: idle scheduling (pid 0 is this thread),
    // and the highest nice value for kernels or sandboxes that refuse it.
    const int nTid = static_cast<int>(::gettid());
    sched_param param{};
    param.sched_priority = 0;
    (void)::sched_setscheduler(0, SCHED_IDLE, &param);
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(nTid), 19);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_nTid = nTid;
    while (!m_bStop) {
        lock.unlock();
        m_fnTrim();
        lock.lock();
        ++m_nTrims;
        m_cvStop.wait_for(lock, m_interval, [this] { return m_bStop; });
    }
}
