#pragma once
// One network adapter and its media (link) state.
#include <string>

#include "net/NetUtilsException.h"
#include "net/ProbeSource.h"

namespace netutils {

class Adapter {
public:
    KETTRIN_DECLARE_EXC(Exception, netutils::Exception);
    KETTRIN_DECLARE_EXC(OpenException, Exception);
    KETTRIN_DECLARE_EXC(IOControlException, Exception);

    // Media state answers: 0 connected, 1 disconnected.
    static constexpr std::uint32_t kMediaConnected = 0;
    static constexpr std::uint32_t kMediaDisconnected = 1;

    Adapter(ProbeSource& source, std::string strName)
        : m_source(source), m_strName(std::move(strName)) {}

    // The adapter's media state (kMediaConnected or kMediaDisconnected). Throws
    // OpenException "Error opening adapter " + name when the adapter cannot be
    // opened and IOControlException "Error! Could not retrieve adapter IO
    // control information." when it gives no state.
    std::uint32_t MediaConnectStatus();

    const std::string& Name() const { return m_strName; }

private:
    ProbeSource& m_source;
    std::string m_strName;
};

}  // namespace netutils
