#pragma once
// The server's hidden window: the object /ComponentMgrClass with interface
// "ComponentMgr.Window", read-only property "Title" ("Tavrolin Component
// Manager") and method "Close" (the close message: the owner flushes both job
// queues; the window stays and the server keeps running). Other programs find
// the running server by this object; the uninstaller waits for it to go.
//
// Created by the component manager object at its construction and destroyed
// at its release; the object is registered with the dispatcher from the
// constructor to the destructor.
//
// Close is for callers with the service's own user id (the authorizer
// decides; a refused caller gets org.freedesktop.DBus.Error.AccessDenied and
// nothing is flushed).
//
// Threads: the dispatcher's owner thread only (construction, destruction and
// the Close handler).
#include <functional>
#include <memory>

class mcBusDispatcher;
class mcCallerAuthorizer;

class mcHiddenWindow {
public:
    static constexpr const char* kLogCloseReceived = "ComponentMgr received WM_CLOSE Messsage";
    static constexpr const char* kErrAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

    // fnOnClose runs on every Close call, after the log line. Registering the
    // object fails with mcBusExc.
    mcHiddenWindow(mcBusDispatcher& dispatcher, mcCallerAuthorizer& authorizer, std::function<void()> fnOnClose);
    // Removes the object; a Close being served finishes normally.
    ~mcHiddenWindow();
    mcHiddenWindow(const mcHiddenWindow&) = delete;
    mcHiddenWindow& operator=(const mcHiddenWindow&) = delete;

private:
    mcBusDispatcher& m_dispatcher;
    mcCallerAuthorizer& m_authorizer;
    // Expires with the window: a verdict arriving later flushes nothing.
    std::shared_ptr<int> m_pAlive = std::make_shared<int>(0);
    std::function<void()> m_fnOnClose;
};
