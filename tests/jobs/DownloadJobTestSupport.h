#pragma once
// Pieces of the download job tests: a real client library object that
// records the callbacks it receives on a private bus, engine hooks that give
// the worker its bus connection, a recording installer and event sender, and
// response bodies.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "JobTestSupport.h"
#include "bus/mcBusDispatcher.h"
#include "client/IComponentMgrCallback.h"
#include "client/mcComponentMgrClient.h"
#include "jobs/IComponentMgrInstaller.h"
#include "jobs/IJobThreadHooks.h"
#include "jobs/mcClientCallback.h"
#include "jobs/mcWorkerBusConnection.h"
#include "net/mcQoSEvent.h"

namespace dltest {

// Records every callback as a line: "progress:<component>:<percent>",
// "failed:<component>:<error>:<text>", "complete:<component>", "install:...",
// "uninstall:...".
class RecordingCallback : public IComponentMgrCallback {
public:
    explicit RecordingCallback(jobtest::Recorder& recorder) : m_recorder(recorder) {}
    HRESULT OnDownloadProgress(const std::string& strComponent, std::int32_t nPercent) override {
        m_recorder.Add("progress:" + strComponent + ":" + std::to_string(nPercent));
        return S_OK;
    }
    HRESULT OnDownloadFailed(const std::string& strComponent, std::int32_t nError,
                             const std::string& strText) override {
        m_recorder.Add("failed:" + strComponent + ":" + std::to_string(nError) + ":" + strText);
        return S_OK;
    }
    HRESULT OnInstallComplete(const std::string& strComponent, bool bSuccess, const std::string&) override {
        m_recorder.Add("install:" + strComponent + ":" + (bSuccess ? "1" : "0"));
        return S_OK;
    }
    HRESULT OnDownloadComplete(const std::string& strComponent) override {
        m_recorder.Add("complete:" + strComponent);
        return S_OK;
    }
    HRESULT OnUninstallComplete(const std::string& strComponent, bool bSuccess, const std::string&) override {
        m_recorder.Add("uninstall:" + strComponent + ":" + (bSuccess ? "1" : "0"));
        return S_OK;
    }

private:
    jobtest::Recorder& m_recorder;
};

// A client program on its own thread: the client library's connection, one
// exported callback object, the dispatcher serving it until destruction.
class CallbackClient {
public:
    explicit CallbackClient(const std::string& strAddress) {
        m_thread = std::thread([this, strAddress] { PrvMain(strAddress); });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_bReady; });
        if (!m_strError.empty()) {
            lock.unlock();
            m_thread.join();
            throw std::runtime_error("CallbackClient: " + m_strError);
        }
    }
    ~CallbackClient() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bQuit = true;
            if (m_pDispatcher != nullptr) m_pDispatcher->Quit();
        }
        if (m_thread.joinable()) m_thread.join();
    }
    CallbackClient(const CallbackClient&) = delete;
    CallbackClient& operator=(const CallbackClient&) = delete;

    const mcClientCallback& Callback() const { return m_callback; }
    jobtest::Recorder& Calls() { return m_calls; }

    // The percents of the progress calls for strComponent, in order.
    std::vector<int> Percents(const std::string& strComponent) const {
        std::vector<int> vec;
        const std::string strPrefix = "progress:" + strComponent + ":";
        for (const std::string& str : m_calls.Events()) {
            if (str.rfind(strPrefix, 0) == 0) vec.push_back(std::stoi(str.substr(strPrefix.size())));
        }
        return vec;
    }

private:
    void PrvMain(const std::string& strAddress) {
        try {
            mcComponentMgrClient::Options options;
            options.strBusAddress = strAddress;
            options.bAutoStart = false;
            mcComponentMgrClient client(options);
            const std::string strPath = client.ExportCallback(std::make_shared<RecordingCallback>(m_calls));
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_callback = mcClientCallback{client.UniqueName(), strPath};
                m_pDispatcher = &client.Dispatcher();
                if (m_bQuit) m_pDispatcher->Quit();
                m_bReady = true;
            }
            m_cv.notify_all();
            client.Dispatcher().Run();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pDispatcher = nullptr;
        } catch (const std::exception& exc) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_pDispatcher = nullptr;
                if (!m_bReady) m_strError = exc.what()[0] != '\0' ? exc.what() : "failed";
                m_bReady = true;
            }
            m_cv.notify_all();
        }
    }

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bReady = false;
    bool m_bQuit = false;
    std::string m_strError;
    mcBusDispatcher* m_pDispatcher = nullptr;  // under m_mutex
    mcClientCallback m_callback;
    jobtest::Recorder m_calls;
};

// What the service's hooks do for the download worker: its own bus connection.
class WorkerBusHooks : public IJobThreadHooks {
public:
    explicit WorkerBusHooks(std::string strAddress) : m_strAddress(std::move(strAddress)) {}
    void InitThread() override { mcWorkerBusConnection::Attach(m_strAddress); }
    void ExitThread() override { mcWorkerBusConnection::Detach(); }

private:
    std::string m_strAddress;
};

// Records ForceStartInstall as "force:<client>:<manifest>:<component>:<bus name>:<path>".
class RecordingInstaller : public IComponentMgrInstaller {
public:
    explicit RecordingInstaller(jobtest::Recorder& recorder) : m_recorder(recorder) {}
    HRESULT ForceStartInstall(const std::string& strClientName, const std::string& strManifestName,
                              const std::string& strComponentName, const mcClientCallback& callback) override {
        m_recorder.Add("force:" + strClientName + ":" + strManifestName + ":" + strComponentName + ":" +
                       callback.strBusName + ":" + callback.strObjectPath);
        return S_OK;
    }
    HRESULT GetComponentInstallData(const std::string&, std::string&) override { return E_NOTIMPL; }
    HRESULT GetComponentUninstallData(const std::string&, std::string&) override { return E_NOTIMPL; }

private:
    jobtest::Recorder& m_recorder;
};

// Keeps the events a job sends, in order.
class EventLog {
public:
    bool Send(const mcQoSEvent& event) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecEvents.push_back(event);
        return true;
    }
    std::vector<mcQoSEvent> Events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecEvents;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<mcQoSEvent> m_vecEvents;
};

// n bytes of a pattern that does not repeat with the portion size.
inline std::string PatternBody(std::size_t n) {
    std::string str(n, '\0');
    for (std::size_t i = 0; i < n; ++i) str[i] = static_cast<char>((i * 31 + i / 251) & 0xFF);
    return str;
}

}  // namespace dltest
