#include "net/Adapter.h"

namespace netutils {

namespace {
constexpr int kLineOpen = 432;
constexpr int kLineControl = 496;
constexpr const char* kOpenFailed = "Error opening adapter ";
constexpr const char* kControlFailed = "Error! Could not retrieve adapter IO control information.";
}  // namespace

std::uint32_t Adapter::MediaConnectStatus() {
    switch (m_source.QueryMediaState(m_strName)) {
    case MediaQuery::kConnected:
        return kMediaConnected;
    case MediaQuery::kDisconnected:
        return kMediaDisconnected;
    case MediaQuery::kOpenFailed:
        KTHROW_AT(OpenException, "netutils::Adapter::Open", kLineOpen, kOpenFailed + m_strName);
    case MediaQuery::kControlFailed:
        break;
    }
    KTHROW_AT(IOControlException, "netutils::Adapter::IOControl", kLineControl, kControlFailed);
}

}  // namespace netutils
