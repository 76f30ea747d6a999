#pragma once
// mcServerWindowProbe: tells whether the component manager's server is
// running, by its hidden window. The window exists when the bus name
// "ComponentMgr.ComponentMgrObj" has an owner whose "/ComponentMgrClass"
// object answers the "ComponentMgr.Window" property "Title" with
// "Tavrolin Component Manager". Asking never starts the service (the
// question goes out without the auto-start flag).
//
// Bus: the one clients use (KETTRIN_BUS_ADDRESS, else the system bus); the
// connection is opened on first use and kept. A bus that cannot be reached
// means no server runs.
//
// Special results: an owner that does not answer within the time-out is
// taken as a running (busy) server; an owner that answers with an error or
// another title is not the server.
//
// Threads: one thread at a time. Never throws.
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "bus/mcBusConnection.h"

class mcServerWindowProbe {
public:
    static constexpr std::chrono::milliseconds kAnswerTimeout{3000};

    // strAddress: the bus to ask; empty: the clients' bus as described above.
    explicit mcServerWindowProbe(std::string strAddress = std::string());

    bool WindowExists();

private:
    bool PrvConnect();

    std::string m_strAddress;
    std::optional<mcBusConnection> m_connection;
};
