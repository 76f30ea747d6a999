#include "service/mcComponentPlugin.h"

#include "base/mcExc.h"
#include "bus/mcBusConnection.h"
#include "bus/mcBusExc.h"
#include "bus/mcBusMessage.h"
#include "contract/ComponentMgrIfc.h"
#include "registry/RegistryKey.h"

namespace {

using core::registry::RegistryKey;

// The string value strName of key, or "" when it is missing.
std::string PrvValue(RegistryKey& key, const char* pszName) {
    try {
        return key.GetValueString(pszName);
    } catch (const mcExc&) {
        return std::string();
    }
}

}  // namespace

bool mcComponentPlugin::Find(const std::string& strClass, Target& target) {
    if (strClass.empty()) return false;
    try {
        std::string strClsid = strClass;
        if (strClass.front() != '{') {
            if (strClass.find('\\') != std::string::npos) return false;
            std::string strProgIdKey = strClass;
            strProgIdKey.append("\\").append(kClsidKey);
            RegistryKey progId(core::registry::kRootClassesRoot, strProgIdKey, core::registry::KEY_READ);
            strClsid = PrvValue(progId, "");
        }
        // One key name below CLSID, nothing else.
        if (strClsid.size() < 2 || strClsid.front() != '{' || strClsid.back() != '}' ||
            strClsid.find('\\') != std::string::npos) {
            return false;
        }
        std::string strClassKey = kClsidKey;
        strClassKey.append("\\").append(strClsid);
        RegistryKey key(core::registry::kRootClassesRoot, strClassKey, core::registry::KEY_READ);
        target.strBusName = PrvValue(key, kBusNameValue);
        std::string strPath = PrvValue(key, kObjectPathValue);
        if (strPath.empty()) strPath.push_back('/');
        target.strObjectPath = std::move(strPath);
        return !target.strBusName.empty();
    } catch (const mcExc&) {
        return false;
    }
}

HRESULT mcComponentPlugin::Disable(const std::string& strBusAddress, const Target& target,
                                const std::string& strComponent, const std::string& strManifest,
                                std::string& strError, std::chrono::milliseconds timeout) {
    strError.clear();
    try {
        mcBusConnection connection = mcBusConnection::OpenAddress(strBusAddress);
        mcBusMessage call =
            connection.NewMethodCall(target.strBusName, target.strObjectPath, cmifc::kIfacePlugin, kDisableMethod);
        call.Append(strComponent).Append(strManifest);
        mcBusMessage reply = connection.CallMethod(call, timeout);
        if (reply.Signature().empty()) return S_OK;
        return reply.ReadInt32();
    } catch (const mcBusExc& exc) {
        strError = exc.Description();
        return exc.ErrorName().empty() ? cmifc::RPC_E_DISCONNECTED : cmifc::HResultFromBusError(exc.ErrorName());
    } catch (const mcExc& exc) {
        strError = exc.Description();
        return cmifc::RPC_E_INVALID_DATA;
    }
}
