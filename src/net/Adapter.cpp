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
    case MediaQuery::kOpenFailed: {
        OpenException exc("netutils::Adapter::Open", __FILE__, kLineOpen, kOpenFailed + m_strName);
        mfAnnounceThrow(exc);
        throw exc;
    }
    case MediaQuery::kControlFailed:
        break;
    }
    IOControlException exc("netutils::Adapter::IOControl", __FILE__, kLineControl, kControlFailed);
    mfAnnounceThrow(exc);
    throw exc;
}

}  // namespace netutils
