#include "service/mcServerLifetime.h"

mcServerLifetime::mcServerLifetime(mcBusDispatcher& dispatcher, std::chrono::milliseconds delay,
                                   std::function<void()> fnIdle)
    : m_dispatcher(dispatcher), m_delay(delay), m_fnIdle(std::move(fnIdle)) {}

mcServerLifetime::~mcServerLifetime() { PrvCancel(); }

void mcServerLifetime::Start() {
    m_bStarted = true;
    Recheck();
}

void mcServerLifetime::OnClientCall(const std::string& strSender) {
    ++m_nCalls;
    if (!strSender.empty()) m_setClients.insert(strSender);
    Recheck();
}

void mcServerLifetime::BeginCall() {
    ++m_nCallsRunning;
    Recheck();
}

void mcServerLifetime::EndCall() {
    if (m_nCallsRunning > 0) --m_nCallsRunning;
    Recheck();
}

void mcServerLifetime::Touch() {
    if (!m_bStarted || m_bIdleFired) return;
    if (!PrvHasReferences()) PrvArm();
}

bool mcServerLifetime::OnNameOwnerChanged(const std::string& strName, const std::string&,
                                          const std::string& strNewOwner) {
    if (!strNewOwner.empty()) return false;
    if (m_setClients.erase(strName) == 0) return false;
    Recheck();
    return true;
}

void mcServerLifetime::SetBusyCheck(std::function<bool()> fnBusy) { m_fnBusy = std::move(fnBusy); }

void mcServerLifetime::Recheck() {
    if (!m_bStarted || m_bIdleFired) return;
    if (!PrvHasReferences()) {
        if (m_idTimer == 0) PrvArm();
    } else {
        PrvCancel();
    }
}

bool mcServerLifetime::AcquireJobReference() {
    {
        std::lock_guard<std::mutex> lock(m_mutexJobs);
        if (m_bClosed) return false;
        ++m_nJobReferences;
    }
    m_dispatcher.Post([this] { Recheck(); });
    return true;
}

void mcServerLifetime::ReleaseJobReference() {
    {
        std::lock_guard<std::mutex> lock(m_mutexJobs);
        if (m_nJobReferences > 0) --m_nJobReferences;
    }
    m_dispatcher.Post([this] { Recheck(); });
}

int mcServerLifetime::JobReferences() const {
    std::lock_guard<std::mutex> lock(m_mutexJobs);
    return m_nJobReferences;
}

bool mcServerLifetime::PrvHasReferences() const {
    return !m_setClients.empty() || m_nCallsRunning > 0 || JobReferences() > 0;
}

bool mcServerLifetime::IsIdle() const { return !PrvHasReferences() && !(m_fnBusy && m_fnBusy()); }

bool mcServerLifetime::TryClose() {
    std::lock_guard<std::mutex> lock(m_mutexJobs);
    if (!m_setClients.empty() || m_nCallsRunning > 0 || m_nJobReferences > 0) return false;
    if (m_fnBusy && m_fnBusy()) return false;
    m_bClosed = true;
    return true;
}

void mcServerLifetime::Resume() {
    {
        std::lock_guard<std::mutex> lock(m_mutexJobs);
        m_bClosed = false;
    }
    m_bIdleFired = false;
    PrvCancel();
    Recheck();
}

void mcServerLifetime::PrvArm() {
    PrvCancel();
    m_idTimer = m_dispatcher.AddTimer(m_delay, [this] {
        m_idTimer = 0;
        PrvOnTimer();
    });
}

void mcServerLifetime::PrvCancel() {
    if (m_idTimer != 0) {
        m_dispatcher.CancelTimer(m_idTimer);
        m_idTimer = 0;
    }
}

void mcServerLifetime::PrvOnTimer() {
    // A reference re-arms the countdown when it goes; work that is only
    // queued holds no reference of its own, so look again after another delay.
    if (m_bIdleFired || PrvHasReferences()) return;
    if (m_fnBusy && m_fnBusy()) {
        PrvArm();
        return;
    }
    m_bIdleFired = true;
    if (m_fnIdle) m_fnIdle();
}
