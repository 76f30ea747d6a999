#pragma once
// What a client implements to follow one request (download, install,
// uninstall): "ComponentMgr.IComponentMgrCallback". Exported on the client's
// own connection with mcComponentMgrClient::ExportCallback; the service (or a
// job of it) calls it. Each method answers with an HRESULT the caller may
// ignore.
//
// Threads: called on the thread that owns the client's connection, while
// that thread pumps (during a call of the client, or PumpUntil).
#include <cstdint>
#include <string>

#include "contract/Hresult.h"

class IComponentMgrCallback {
public:
    virtual ~IComponentMgrCallback() = default;

    // percent: 0 to 100.
    virtual HRESULT OnDownloadProgress(const std::string& strComponent, std::int32_t nPercent) = 0;
    virtual HRESULT OnDownloadFailed(const std::string& strComponent, std::int32_t nError,
                                     const std::string& strText) = 0;
    virtual HRESULT OnInstallComplete(const std::string& strComponent, bool bSuccess,
                                      const std::string& strText) = 0;
    virtual HRESULT OnDownloadComplete(const std::string& strComponent) = 0;
    virtual HRESULT OnUninstallComplete(const std::string& strComponent, bool bSuccess,
                                        const std::string& strText) = 0;
};
