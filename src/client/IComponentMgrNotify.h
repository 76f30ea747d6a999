#pragma once
// What a client implements to hear of replaced manifests:
// "ComponentMgr.IComponentMgrNotify", registered with the service's Register.
// Exported on the client's own connection with
// mcComponentMgrClient::ExportNotifySink.
//
// Threads: called on the thread that owns the client's connection, while
// that thread pumps.
#include <string>

#include "contract/Hresult.h"

class IComponentMgrNotify {
public:
    virtual ~IComponentMgrNotify() = default;

    // The answer becomes the service's notification result (the last sink's).
    virtual HRESULT OnManifestUpdated(const std::string& strManifest) = 0;
};
