#pragma once
// Calls a client's "ComponentMgr.IComponentMgrCallback" object from a job's
// worker thread, on that thread's own bus connection.
//
// Every call is sent with the no-reply-expected flag and never waits: a
// client that is slow, hung or gone cannot hold up the job. A call that cannot
// be sent is logged ("mcClientCallbackSender::<method> failed : " + the
// callback's name and path, then the error's text) and the sender stops
// calling (the connection is broken, or the callback cannot be addressed);
// nothing is thrown (apart from std::bad_alloc).
//
// Threads: made and used on one worker thread; the connection belongs to that
// thread and must outlive the sender.
#include <cstdint>
#include <string>

#include "jobs/mcClientCallback.h"

class mcBusConnection;

class mcClientCallbackSender {
public:
    static constexpr const char* kLogFailed = "mcClientCallbackSender::";
    static constexpr const char* kLogFailedSuffix = " failed : ";

    // pConnection null or an empty callback: a sender that has nothing to call
    // (IsEmpty).
    mcClientCallbackSender(mcBusConnection* pConnection, mcClientCallback callback);

    // The calling thread's worker connection (mcWorkerBusConnection) for
    // callback, fully connected (waits for the bus's greeting if needed):
    // empty when the callback is empty or the thread has no bus.
    static mcClientCallbackSender ForWorkerThread(const mcClientCallback& callback);

    bool IsEmpty() const { return m_pConnection == nullptr; }

    // OnDownloadProgress (s component, i percent).
    void OnDownloadProgress(const std::string& strComponent, std::int32_t nPercent);
    // OnDownloadFailed (s component, i error, s text).
    void OnDownloadFailed(const std::string& strComponent, std::int32_t nError,
                          const std::string& strText);
    // OnDownloadComplete (s component).
    void OnDownloadComplete(const std::string& strComponent);
    // OnInstallComplete / OnUninstallComplete (s component, b success, s text).
    void OnInstallComplete(const std::string& strComponent, bool bSuccess, const std::string& strText);
    void OnUninstallComplete(const std::string& strComponent, bool bSuccess, const std::string& strText);

    // Writes out every call queued so far (blocks only until the bus has read
    // them); a failure is logged once like a failed call.
    void Flush();

private:
    template <class Fill>
    void PrvSend(const char* pszMember, Fill fill);
    void PrvFailed(const char* pszMember, const std::string& strError);
    void PrvPushOut();

    mcBusConnection* m_pConnection = nullptr;  // not owned; null once broken
    mcClientCallback m_callback;
};
