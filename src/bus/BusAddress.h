#pragma once
// Which message bus the service and the clients use.
//
//   1. DBUS_STARTER_ADDRESS - only for the service, when the bus started it
//      by activation: it must answer on the bus that started it;
//   2. KETTRIN_BUS_ADDRESS  - any bus address, for service and clients alike;
//   3. --session            - the session bus (DBUS_SESSION_BUS_ADDRESS, else
//                             $XDG_RUNTIME_DIR/bus);
//   4. otherwise the system bus (DBUS_SYSTEM_BUS_ADDRESS, else the standard
//      socket /run/dbus/system_bus_socket).
// Empty variables count as unset. Safe to call from any thread.
#include <functional>
#include <string>

#include "bus/mcBusConnection.h"

enum class mcBusRole { Service, Client };

// Returns the value of an environment variable or nullptr; ::getenv by default.
using mcEnvLookup = std::function<const char*(const char*)>;

inline constexpr const char* kEnvBusStarterAddress = "DBUS_STARTER_ADDRESS";
inline constexpr const char* kEnvKettrinBusAddress = "KETTRIN_BUS_ADDRESS";
inline constexpr const char* kEnvSessionBusAddress = "DBUS_SESSION_BUS_ADDRESS";
inline constexpr const char* kEnvSystemBusAddress = "DBUS_SYSTEM_BUS_ADDRESS";
inline constexpr const char* kDefaultSystemBusAddress = "unix:path=/run/dbus/system_bus_socket";

// The address to connect to, following the order above. Throws mcBusExc when
// the session bus is asked for and neither of its variables is set.
std::string mfResolveBusAddress(mcBusRole role, bool bSessionSwitch,
                                const mcEnvLookup& lookup = mcEnvLookup());

// Opens a connection to mfResolveBusAddress(role, bSessionSwitch).
mcBusConnection mfOpenBus(mcBusRole role, bool bSessionSwitch,
                          const mcEnvLookup& lookup = mcEnvLookup());
