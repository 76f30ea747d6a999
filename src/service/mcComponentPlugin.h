#pragma once
// A component's plug-in object, asked to disable itself before a mandatory
// install ("ComponentMgr.IComponentPlugin" DisableComponent(component,
// manifest)).
//
// The plug-in class text of the manifest names a registration in the
// registry's classes root: "{GUID}" the key CLSID\{GUID}; any other text a
// ProgID, whose key <ProgID>\CLSID holds (default value) the "{GUID}" to look
// up as before. The class key's string values "BusName" and "ObjectPath"
// (default "/") name the object. No registration: nothing to call.
//
// Threads: both functions wait on the registry or the bus, so they run on a
// worker, never on the main thread. They throw nothing but std::bad_alloc.
#include <chrono>
#include <string>

#include "contract/Hresult.h"

class mcComponentPlugin {
public:
    static constexpr const char* kClsidKey = "CLSID";
    static constexpr const char* kBusNameValue = "BusName";
    static constexpr const char* kObjectPathValue = "ObjectPath";
    static constexpr const char* kDisableMethod = "DisableComponent";
    static constexpr std::chrono::milliseconds kCallTimeout{30000};

    struct Target {
        std::string strBusName;
        std::string strObjectPath;
    };

    // True and the object when strClass is registered with a bus name.
    static bool Find(const std::string& strClass, Target& target);

    // Calls DisableComponent on a connection of its own to strBusAddress
    // (the bus may start the plug-in's service), waiting at most timeout.
    // Returns S_OK, the HRESULT the plug-in answered, or the failure the
    // bus error stands for; strError then holds the error's text.
    static HRESULT Disable(const std::string& strBusAddress, const Target& target, const std::string& strComponent,
                        const std::string& strManifest, std::string& strError,
                        std::chrono::milliseconds timeout = kCallTimeout);
};
