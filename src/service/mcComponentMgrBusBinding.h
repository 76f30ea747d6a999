#pragma once
// The object /ComponentMgrObj on the bus: registers every method of the four
// interfaces (contract/ComponentMgrIfc.h) with the dispatcher and translates
// between bus messages and moComponentMgr's public methods: arguments are
// read in order, a callback path becomes (caller's unique name, path), and
// the reply carries the HRESULT first, then the out-arguments.
//
// Every call counts as a client reference of its sender and holds a
// reference while it is served (mcServerLifetime), when a lifetime is given.
// Methods whose work waits on the network (UpdateManifests, the start
// operations StartComponentDownload, StartComponentUpdate, DoTriggerTasks)
// are deferred: the
// handler keeps the call's reply object and returns, the object runs the work
// on its worker, and the reply goes out from the main thread when the work
// has ended; the call's reference is held until then.
//
// Every call is first judged by the authorizer (mcCallerAuthorizer, by the
// access table contract/ComponentMgrAccess.h); a call that needs more than
// "anyone" is deferred until the verdict, and a refused one is answered
// E_ACCESSDENIED with empty out-arguments without its body running. Sink
// cookies belong to the connection that registered them: Unregister of
// another connection's cookie needs the service's own user id.
//
// Threads: the dispatcher's owner thread. The dispatcher, object, lifetime
// and authorizer must outlive the binding.
#include <memory>
#include <string>

class mcBusDispatcher;
class mcCallerAuthorizer;
class mcServerLifetime;
class moComponentMgr;

class mcComponentMgrBusBinding {
public:
    // Registers the object and its methods; fails with mcBusExc.
    mcComponentMgrBusBinding(mcBusDispatcher& dispatcher, moComponentMgr& object,
                             mcServerLifetime* pLifetime, mcCallerAuthorizer& authorizer);
    // Removes the object from the dispatcher.
    ~mcComponentMgrBusBinding();
    mcComponentMgrBusBinding(const mcComponentMgrBusBinding&) = delete;
    mcComponentMgrBusBinding& operator=(const mcComponentMgrBusBinding&) = delete;

    // Members of the method table that have a handler here (all of them;
    // the tests check that).
    static std::size_t HandledMethodCount();

private:
    mcBusDispatcher& m_dispatcher;
    // Expires with the binding: a verdict that arrives later answers
    // CO_E_SERVER_STOPPING instead of calling the object.
    std::shared_ptr<int> m_pAlive = std::make_shared<int>(0);
};
