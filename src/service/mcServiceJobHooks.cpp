#include "service/mcServiceJobHooks.h"

#include "jobs/mcWorkerBusConnection.h"

mcServiceJobHooks::mcServiceJobHooks(std::string strBusAddress, Host host)
    : m_strBusAddress(std::move(strBusAddress)), m_host(std::move(host)) {}

void mcServiceJobHooks::InitThread() {
    if (!m_strBusAddress.empty()) mcWorkerBusConnection::Attach(m_strBusAddress);
}

void mcServiceJobHooks::ExitThread() { mcWorkerBusConnection::Detach(); }

bool mcServiceJobHooks::AcquireServerReference() {
    return m_host.fnAcquireReference ? m_host.fnAcquireReference() : false;
}

void mcServiceJobHooks::ReleaseServerReference() {
    if (m_host.fnReleaseReference) m_host.fnReleaseReference();
}

void mcServiceJobHooks::OnFault(const std::string& strFunction, std::exception_ptr pException) {
    // The worker ends right after this; its connection goes with the thread.
    if (m_host.fnFault) m_host.fnFault(strFunction, pException);
}
