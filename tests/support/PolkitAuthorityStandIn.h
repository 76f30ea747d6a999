#pragma once
// A stand-in for the polkit authority on a test's private bus: owns
// "org.freedesktop.PolicyKit1" and serves
// org.freedesktop.PolicyKit1.Authority.CheckAuthorization on
// /org/freedesktop/PolicyKit1/Authority from a thread of its own. Each
// question is recorded (subject kind and name, the user id the bus gives for
// that name while the caller waits, action, flags) and answered as the test
// says: allow, deny, an error reply, or never (the reply is held until
// Release() or the end). CancelCheckAuthorization calls are recorded too.
//
// Threads: the public members from any thread. Destroying it stops its
// thread and drops held questions (their callers get an error).
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bus/mcBusConnection.h"
#include "bus/mcBusDispatcher.h"
#include "bus/mcDeferredReply.h"

namespace testsupport {

class PolkitAuthorityStandIn {
public:
    enum class Answer { Allow, Deny, Error, Hold };

    struct Question {
        std::string strSubjectKind;
        std::string strSubjectName;
        std::int64_t nSubjectUid = -1;  // -1: the bus did not know the name
        std::string strAction;
        std::uint32_t nFlags = 0;
        std::string strCancelId;
    };

    explicit PolkitAuthorityStandIn(const std::string& strBusAddress) {
        std::promise<std::string> started;
        std::future<std::string> future = started.get_future();
        m_thread = std::thread([this, strBusAddress, &started] { PrvRun(strBusAddress, started); });
        const std::string strError = future.get();
        if (!strError.empty()) {
            m_thread.join();
            throw std::runtime_error("PolkitAuthorityStandIn: " + strError);
        }
    }
    ~PolkitAuthorityStandIn() {
        if (m_pDispatcher.load()) m_pDispatcher.load()->Quit();
        m_thread.join();
    }
    PolkitAuthorityStandIn(const PolkitAuthorityStandIn&) = delete;
    PolkitAuthorityStandIn& operator=(const PolkitAuthorityStandIn&) = delete;

    void SetAnswer(Answer answer) { m_answer = answer; }
    // Answers every held question with answer (Allow or Deny).
    void Release(Answer answer) {
        m_pDispatcher.load()->Post([this, answer] {
            for (auto& pReply : m_vecHeld) PrvAnswer(*pReply, answer);
            m_vecHeld.clear();
        });
    }
    std::vector<Question> Questions() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecQuestions;
    }
    std::size_t QuestionCount() const { return Questions().size(); }
    // Waits until CancelCheckAuthorization(strCancelId) has come in.
    bool WaitForCancel(const std::string& strCancelId, std::chrono::milliseconds limit = std::chrono::seconds{20}) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, limit, [&] {
            for (const std::string& strId : m_vecCancelled) {
                if (strId == strCancelId) return true;
            }
            return false;
        });
    }
    // Waits until at least n questions have come in.
    bool WaitForQuestions(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds{20}) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, limit, [&] { return m_vecQuestions.size() >= n; });
    }

private:
    void PrvRun(const std::string& strBusAddress, std::promise<std::string>& started) {
        std::unique_ptr<mcBusConnection> pConnection;
        std::unique_ptr<mcBusDispatcher> pDispatcher;
        try {
            pConnection = std::make_unique<mcBusConnection>(mcBusConnection::OpenAddress(strBusAddress));
            pDispatcher = std::make_unique<mcBusDispatcher>(*pConnection);
            pDispatcher->AddMethod("/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.PolicyKit1.Authority",
                                   "CheckAuthorization", "(sa{sv})sa{ss}us",
                                   [this, &pDispatcher](mcBusMessage& call) { return PrvCheck(*pDispatcher, call); });
            pDispatcher->AddMethod("/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.PolicyKit1.Authority",
                                   "CancelCheckAuthorization", "s", [this](mcBusMessage& call) {
                                       {
                                           std::lock_guard<std::mutex> lock(m_mutex);
                                           m_vecCancelled.push_back(call.ReadString());
                                       }
                                       m_cv.notify_all();
                                       return mcBusMessage();
                                   });
            if (!pConnection->RequestName("org.freedesktop.PolicyKit1")) throw std::runtime_error("name taken");
        } catch (const std::exception& exc) {
            started.set_value(exc.what());
            return;
        }
        m_pDispatcher = pDispatcher.get();
        started.set_value(std::string());
        pDispatcher->Run();
        m_vecHeld.clear();
        m_pDispatcher = nullptr;
    }

    mcBusMessage PrvCheck(mcBusDispatcher& dispatcher, mcBusMessage& call) {
        Question question;
        call.EnterContainer('r', "sa{sv}");
        question.strSubjectKind = call.ReadString();
        call.EnterContainer('a', "{sv}");
        while (call.EnterContainer('e', "sv")) {
            const std::string strKey = call.ReadString();
            if (strKey == "name" && call.EnterContainer('v', "s")) {
                question.strSubjectName = call.ReadString();
                call.ExitContainer();
            } else {
                call.Skip("v");
            }
            call.ExitContainer();
        }
        call.ExitContainer();
        call.ExitContainer();
        question.strAction = call.ReadString();
        call.Skip("a{ss}");
        question.nFlags = call.ReadUInt32();
        question.strCancelId = call.ReadString();
        question.nSubjectUid = PrvUidOf(dispatcher, question.strSubjectName);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_vecQuestions.push_back(question);
        }
        m_cv.notify_all();
        const Answer answer = m_answer.load();
        std::shared_ptr<mcDeferredReply> pReply = dispatcher.DeferReply(call);
        if (answer == Answer::Hold) {
            m_vecHeld.push_back(pReply);
        } else {
            PrvAnswer(*pReply, answer);
        }
        return mcBusMessage();
    }

    static std::int64_t PrvUidOf(mcBusDispatcher& dispatcher, const std::string& strName) {
        try {
            mcBusMessage ask = dispatcher.Connection().NewMethodCall(
                mcBusConnection::kBusName, mcBusConnection::kBusPath, mcBusConnection::kBusInterface,
                "GetConnectionUnixUser");
            ask.Append(strName);
            return dispatcher.Connection().CallMethod(ask).ReadUInt32();
        } catch (const std::exception&) {
            return -1;
        }
    }

    static void PrvAnswer(mcDeferredReply& reply, Answer answer) {
        if (answer == Answer::Error) {
            reply.SendError("org.freedesktop.PolicyKit1.Error.Failed", "the stand-in was told to fail");
            return;
        }
        mcBusMessage message = reply.NewReturn();
        message.OpenContainer('r', "bba{ss}");
        message.Append(answer == Answer::Allow);
        message.Append(false);
        message.OpenContainer('a', "{ss}").CloseContainer();
        message.CloseContainer();
        reply.Send(message);
    }

    std::thread m_thread;
    std::atomic<mcBusDispatcher*> m_pDispatcher{nullptr};
    std::atomic<Answer> m_answer{Answer::Allow};
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Question> m_vecQuestions;
    std::vector<std::string> m_vecCancelled;
    // Held questions (the stand-in's thread only).
    std::vector<std::shared_ptr<mcDeferredReply>> m_vecHeld;
};

}  // namespace testsupport
