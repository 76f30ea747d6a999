#pragma once
// A main-thread apartment without a bus, for object-level tests of
// moComponentMgr: the thread that constructs it is the main thread; posted
// tasks run when that thread pumps (PumpUntil, RunPosted); client calls are
// recorded and answered by a function of the test; the window only records
// its close handler.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus/mcBusExc.h"
#include "service/IComponentMgrApartment.h"

namespace testsupport {

class FakeApartment : public IComponentMgrApartment {
public:
    struct ClientCall {
        std::string strBusName, strPath, strInterface, strMember, strArgument;
    };

    // Answers CallClient; runs on the main thread and may pump (re-enter).
    std::function<HRESULT(const ClientCall&)> fnCallClient = [](const ClientCall&) { return S_OK; };
    std::vector<ClientCall> vecClientCalls;  // main thread
    std::function<void()> fnWindowClose;     // set by AddWindow
    bool bWindowOpen = false;

    bool Post(Task task) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStopped) return false;
            m_queTasks.push_back(std::move(task));
        }
        m_cv.notify_all();
        return true;
    }

    void RunOnMain(const Task& task) override {
        if (std::this_thread::get_id() == m_idMain) {
            task();
            return;
        }
        auto pPromise = std::make_shared<std::promise<void>>();
        std::future<void> future = pPromise->get_future();
        const bool bQueued = Post([pPromise, &task] {
            try {
                task();
                pPromise->set_value();
            } catch (...) {
                pPromise->set_exception(std::current_exception());
            }
        });
        if (!bQueued) throw mcBusExc("FakeApartment::RunOnMain", __FILE__, __LINE__, "stopped");
        try {
            future.get();
        } catch (const std::future_error&) {
            // Dropped by Stop before it ran.
            throw mcBusExc("FakeApartment::RunOnMain", __FILE__, __LINE__, "stopped");
        }
    }

    bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) override {
        const auto tpEnd = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (pred()) return true;
            if (RunPosted() > 0) continue;
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_bStopped) return pred();
            if (timeout.count() >= 0 && std::chrono::steady_clock::now() >= tpEnd) return false;
            m_cv.wait_until(lock, timeout.count() >= 0 ? tpEnd : std::chrono::steady_clock::now() + std::chrono::seconds(1),
                            [this] { return !m_queTasks.empty() || m_bStopped; });
        }
    }

    void Stop() override {
        std::deque<Task> queDropped;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStopped = true;
            queDropped.swap(m_queTasks);
        }
        m_cv.notify_all();
    }
    bool IsStopped() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bStopped;
    }

    HRESULT CallClient(const mcClientCallback& target, const std::string& strInterface, const std::string& strMember,
                       const std::string& strArgument, std::chrono::milliseconds) override {
        ClientCall call{target.strBusName, target.strObjectPath, strInterface, strMember, strArgument};
        vecClientCalls.push_back(call);
        return fnCallClient(call);
    }

    std::shared_ptr<void> AddWindow(std::function<void()> fnOnClose) override {
        fnWindowClose = std::move(fnOnClose);
        bWindowOpen = true;
        return std::shared_ptr<void>(nullptr, [this](void*) { bWindowOpen = false; });
    }

    // Runs the tasks queued now (main thread); returns how many ran.
    int RunPosted() {
        std::deque<Task> queNow;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            queNow.swap(m_queTasks);
        }
        for (Task& task : queNow) task();
        return static_cast<int>(queNow.size());
    }

private:
    const std::thread::id m_idMain = std::this_thread::get_id();
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Task> m_queTasks;
    bool m_bStopped = false;
};

}  // namespace testsupport
