#pragma once
// A client's callback as a job carries it across threads: the unique bus name
// of the connection that made the request and the object path on it that
// implements "ComponentMgr.IComponentMgrCallback". A plain value, safe to copy
// between threads; whoever calls it does so on its own bus connection.
#include <string>

struct mcClientCallback {
    // The path a caller passes when it wants no callback.
    static constexpr const char* kNoObjectPath = "/";

    std::string strBusName;     // e.g. ":1.42"; empty when there is no callback
    std::string strObjectPath;  // e.g. "/player/request7"; empty or "/" when none

    // True when there is nothing to call: no bus name, no path, or the path "/".
    bool IsEmpty() const {
        return strBusName.empty() || strObjectPath.empty() || strObjectPath == kNoObjectPath;
    }

    bool operator==(const mcClientCallback&) const = default;
};
