#pragma once
// The component manager's apartment on the server's bus dispatcher: tasks,
// nested pumps and Stop go to the dispatcher, client calls are sent on its
// connection with a nested pump, and the window is an mcHiddenWindow.
//
// Threads: as IComponentMgrApartment. The dispatcher and authorizer must
// outlive the object.
#include "service/IComponentMgrApartment.h"

class mcBusDispatcher;
class mcCallerAuthorizer;

class mcDispatcherApartment : public IComponentMgrApartment {
public:
    // The window's Close is judged by authorizer.
    mcDispatcherApartment(mcBusDispatcher& dispatcher, mcCallerAuthorizer& authorizer)
        : m_dispatcher(dispatcher), m_authorizer(authorizer) {}

    bool Post(Task task) override;
    void RunOnMain(const Task& task) override;
    bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) override;
    void Stop() override;
    bool IsStopped() const override;
    HRESULT CallClient(const mcClientCallback& target, const std::string& strInterface,
                       const std::string& strMember, const std::string& strArgument,
                       std::chrono::milliseconds timeout) override;
    std::vector<HRESULT> CallClients(const std::vector<mcClientCallback>& vecTargets, const std::string& strInterface,
                                     const std::string& strMember, const std::string& strArgument,
                                     std::chrono::milliseconds timeout) override;
    void SendToClient(const mcClientCallback& target, const std::string& strInterface,
                      const std::string& strMember, const std::string& strArgument) override;
    void SendCompletionToClient(const mcClientCallback& target, const std::string& strMember,
                                const std::string& strComponent, bool bSuccess, const std::string& strText) override;
    bool WaitForProcess(pid_t pid) override;
    std::shared_ptr<void> AddWindow(std::function<void()> fnOnClose) override;

private:
    mcBusDispatcher& m_dispatcher;
    mcCallerAuthorizer& m_authorizer;
};
