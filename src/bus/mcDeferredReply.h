#pragma once
// The answer to a method call that its handler does not give at once. The
// handler asks the dispatcher for it (mcBusDispatcher::DeferReply), keeps it,
// and returns; the reply is sent later - typically when work handed to another
// thread has ended and its completion was posted back to the owner thread.
// Meanwhile the dispatcher serves every other call.
//
// Threads: the dispatcher's owner thread only, for every member and for the
// last release of the object (keep it in state that is dropped there).
//
// Answered exactly once: the first Send or SendError goes out, later ones do
// nothing. Dropped without an answer, it sends
// org.freedesktop.DBus.Error.Failed ("the call was dropped unanswered"), so a
// caller never waits for its time-out. Once the dispatcher is gone nothing is
// sent. A call that expects no reply gets none.
#include <memory>
#include <string>

#include "bus/mcBusMessage.h"

class mcBusDispatcher;

class mcDeferredReply {
public:
    static constexpr const char* kDroppedText = "the call was dropped unanswered";

    ~mcDeferredReply();
    mcDeferredReply(const mcDeferredReply&) = delete;
    mcDeferredReply& operator=(const mcDeferredReply&) = delete;

    // The call being answered (its arguments may be read again).
    const mcBusMessage& Call() const { return m_call; }
    // A method return for the call; append the out-arguments, then Send.
    mcBusMessage NewReturn() const;
    // Sends reply; a reply that cannot be sent is replaced by an error reply.
    // Throws mcBusExc on a thread other than the owner's.
    void Send(mcBusMessage& reply);
    void SendError(const std::string& strName, const std::string& strText);
    bool IsAnswered() const { return m_bAnswered; }

private:
    friend class mcBusDispatcher;
    mcDeferredReply(mcBusDispatcher& dispatcher, mcBusMessage call, std::weak_ptr<void> pAlive);

    mcBusDispatcher& m_dispatcher;
    mcBusMessage m_call;
    // Expires with the dispatcher.
    std::weak_ptr<void> m_pAlive;
    bool m_bAnswered = false;
};
