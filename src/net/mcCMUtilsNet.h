#pragma once
// The component manager's identity strings that depend on the network: the
// connection type and the common query parameters of event reports. They
// belong to mcCMUtils (registry/mcCMUtils.h) but live with the network code.
// Any thread; never throw.
#include <string>

#include "net/ProbeSource.h"

namespace mcCMUtils {

inline constexpr const char* kConnectionLan = "LAN";
inline constexpr const char* kConnectionLanProxy = "LAN_PROXY";
inline constexpr const char* kConnectionModem = "MODEM";
inline constexpr const char* kConnectionModemProxy = "MODEM_PROXY";

// "LAN" or "MODEM" for the machine's connection, with "_PROXY" appended when a
// proxy is set; "" when the machine is not connected.
std::string GetConnectionType();
std::string GetConnectionType(netutils::ProbeSource& probes);

// "CMVersion=" + enc(GetVersion()) + "&Uid=" + enc(GetZRUID()) + "&Connection="
// + enc(GetConnectionType()) + "&OSVersion=" + enc(operating system short
// name), enc being mfUrlEncode without encodeAll. No leading separator.
std::string GetRequestParams();
std::string GetRequestParams(netutils::ProbeSource& probes);

}  // namespace mcCMUtils
