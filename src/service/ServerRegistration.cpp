#include "service/ServerRegistration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <utility>
#include <vector>

#include "contract/ComponentMgrIfc.h"
#include "base/FileUtils.h"
#include "registry/RegistryKey.h"
#include "base/Win32Error.h"
#include "base/mcCMLog.h"

namespace svcreg {

namespace {

using core::registry::RegistryKey;
using core::registry::kRootClassesRoot;

// Interface identifiers of the object's interfaces (two for the interfaces
// that answer under two), with their names.
const std::vector<std::pair<const char*, const char*>>& PrvInterfaceIds() {
    static const std::vector<std::pair<const char*, const char*>> vecIds = {
        {"{287A5355-D5F8-482F-BEF1-0E6FA3324BF4}", "IComponentMgrControl"},
        {"{FFDEB037-C386-4AD7-AE80-CD17000A8C44}", "IComponentMgrManifest"},
        {"{66791E15-5474-405C-8197-B14E4800F1A1}", "IComponentMgrManifest"},
        {"{CF86EA3E-5429-404F-BCD7-851FA5B63CCD}", "IComponentMgrInstaller"},
        {"{49FF4409-1EF9-4374-B58B-71DB9EEF16EF}", "IComponentMgr"},
        {"{09117D76-86A0-4585-9C3E-A00B5B023020}", "IComponentMgr"},
    };
    return vecIds;
}

std::string PrvJoin(const std::string& strA, const std::string& strB) { return strA + "\\" + strB; }

HRESULT PrvHResult(const RegistryKey::Exception& exc) {
    return exc.ErrorCode() != 0 ? HRESULT_FROM_WIN32(exc.ErrorCode()) : E_FAIL;
}

// Runs a registry step; its failure becomes the step's HRESULT (logged).
HRESULT PrvStep(const std::function<void()>& step) {
    try {
        step();
        return S_OK;
    } catch (const RegistryKey::Exception& exc) {
        mfCMLog(exc.Description());
        return PrvHResult(exc);
    } catch (const mcExc& exc) {
        mfCMLog(exc.Description());
        return E_FAIL;
    }
}

// A key below the classes root, created when missing, with its default value.
RegistryKey PrvCreateKey(const std::string& strPath, const std::string* pDefault = nullptr) {
    RegistryKey root(kRootClassesRoot, "");
    RegistryKey key = root.CreateSubKey(strPath);
    if (pDefault) key.SetValueString("", *pDefault);
    return key;
}

void PrvSetKey(const std::string& strPath, const std::string& strDefault) {
    (void)PrvCreateKey(strPath, &strDefault);
}

// Deletes the key with everything below it; a missing key is fine.
void PrvDeleteKey(const std::string& strPath) {
    if (!RegistryKey::Exists(kRootClassesRoot, strPath)) return;
    try {
        RegistryKey::DeleteKey(kRootClassesRoot, strPath);
    } catch (const RegistryKey::Exception& exc) {
        if (exc.ErrorCode() != ERROR_FILE_NOT_FOUND) throw;
    }
}

// Deletes the key when nothing is left in it.
void PrvDeleteKeyIfEmpty(const std::string& strPath) {
    if (!RegistryKey::Exists(kRootClassesRoot, strPath)) return;
    RegistryKey key(kRootClassesRoot, strPath, core::registry::KEY_READ);
    if (key.GetValueCount() == 0 && key.GetSubKeyNames().empty()) {
        key.Close();
        PrvDeleteKey(strPath);
    }
}

bool PrvIsExecutableImage(const std::string& strPath) {
    struct stat st {};
    return ::stat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(strPath.c_str(), X_OK) == 0;
}

std::string PrvFolderOf(const std::string& strPath) {
    const std::size_t nSlash = strPath.rfind('/');
    if (nSlash == std::string::npos) return std::string();
    return nSlash == 0 ? std::string("/") : strPath.substr(0, nSlash);
}

// Characters the activation file's command line takes without quoting.
bool PrvIsPlainPathChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':' || c == '@' || c == '%';
}

std::string PrvQuoteForExec(const std::string& strPath) {
    bool bPlain = !strPath.empty();
    for (const char c : strPath) bPlain = bPlain && PrvIsPlainPathChar(c);
    if (bPlain) return strPath;
    // Single quotes keep everything; a quote itself is closed, escaped, reopened.
    std::string strQuoted = "'";
    for (const char c : strPath) {
        if (c == '\'') {
            strQuoted += "'\\''";
        } else {
            strQuoted += c;
        }
    }
    return strQuoted + "'";
}

std::string PrvActivationPath(const mcServiceConfig& config) {
    return config.strActivationDir + "/" + kActivationFileName;
}

HRESULT PrvRegisterAppId() {
    return PrvStep([] {
        PrvSetKey(PrvJoin("AppID", kAppId), kAppName);
        RegistryKey exe = PrvCreateKey(PrvJoin("AppID", kAppExeKey));
        exe.SetValueString("AppID", kAppId);
    });
}

HRESULT PrvUnregisterAppId() {
    return PrvStep([] {
        PrvDeleteKey(PrvJoin("AppID", kAppId));
        PrvDeleteKey(PrvJoin("AppID", kAppExeKey));
    });
}

HRESULT PrvRegisterClass(const mcServiceConfig& config, const std::string& strExecutable) {
    const std::string strClsidKey = PrvJoin("CLSID", kClsid);
    HRESULT hr = PrvStep([&] {
        PrvSetKey(kProgId, kFriendlyName);
        PrvSetKey(PrvJoin(kProgId, "CLSID"), kClsid);
        PrvSetKey(kVersionIndependentProgId, kFriendlyName);
        PrvSetKey(PrvJoin(kVersionIndependentProgId, "CLSID"), kClsid);
        PrvSetKey(PrvJoin(kVersionIndependentProgId, "CurVer"), kProgId);

        // Written afresh: whatever an earlier registration left goes first.
        PrvDeleteKey(strClsidKey);
        RegistryKey clsid = PrvCreateKey(strClsidKey);
        clsid.SetValueString("", kFriendlyName);
        clsid.SetValueString("AppID", kAppId);
        PrvSetKey(PrvJoin(strClsidKey, "ProgID"), kProgId);
        PrvSetKey(PrvJoin(strClsidKey, "VersionIndependentProgID"), kVersionIndependentProgId);
        (void)PrvCreateKey(PrvJoin(strClsidKey, "Programmable"));
        PrvSetKey(PrvJoin(strClsidKey, "TypeLib"), kTypeLibId);
        const char* pszModuleKey = PrvIsExecutableImage(strExecutable) ? kLocalServer32 : kInprocServer32;
        RegistryKey module = PrvCreateKey(PrvJoin(strClsidKey, pszModuleKey));
        module.SetValueString("", "\"" + strExecutable + "\"");
        module.SetValueString("ThreadingModel", kThreadingModel);
    });
    if (FAILED(hr)) return hr;

    // The type library: the introspection data installed with the program.
    hr = PrvStep([&] {
        const std::string strLib = PrvJoin(PrvJoin("TypeLib", kTypeLibId), kTypeLibVersion);
        PrvSetKey(strLib, kTypeLibName);
        PrvSetKey(PrvJoin(strLib, "0\\linux"), config.strTypeLibPath);
        PrvSetKey(PrvJoin(strLib, "FLAGS"), "0");
        PrvSetKey(PrvJoin(strLib, "HELPDIR"), PrvFolderOf(strExecutable));
        for (const auto& [pszIid, pszName] : PrvInterfaceIds()) {
            const std::string strIface = PrvJoin("Interface", pszIid);
            PrvSetKey(strIface, pszName);
            RegistryKey lib = PrvCreateKey(PrvJoin(strIface, "TypeLib"));
            lib.SetValueString("", kTypeLibId);
            lib.SetValueString("Version", kTypeLibVersion);
        }
    });
    if (FAILED(hr)) return hr;

    // The bus activation file (the class object's registration).
    if (!mfCreateDirectories(config.strActivationDir)) {
        mfCMLog("RegServer: cannot create " + config.strActivationDir);
        return HRESULT_FROM_WIN32(mfGetLastError() != 0 ? mfGetLastError() : ERROR_PATH_NOT_FOUND);
    }
    if (!mfWriteFileAtomic(PrvActivationPath(config), mfActivationFileText(strExecutable))) {
        mfCMLog("RegServer: cannot write " + PrvActivationPath(config));
        return HRESULT_FROM_WIN32(mfGetLastError() != 0 ? mfGetLastError() : ERROR_CANNOT_MAKE);
    }
    return S_OK;
}

HRESULT PrvUnregisterClass(const mcServiceConfig& config) {
    HRESULT hr = PrvStep([] {
        PrvDeleteKey(kProgId);
        PrvDeleteKey(kVersionIndependentProgId);
        PrvDeleteKey(PrvJoin("CLSID", kClsid));
    });
    if (FAILED(hr)) return hr;
    hr = PrvStep([] {
        const std::string strLibRoot = PrvJoin("TypeLib", kTypeLibId);
        PrvDeleteKey(PrvJoin(strLibRoot, kTypeLibVersion));
        PrvDeleteKeyIfEmpty(strLibRoot);
        for (const auto& [pszIid, pszName] : PrvInterfaceIds()) PrvDeleteKey(PrvJoin("Interface", pszIid));
    });
    if (FAILED(hr)) return hr;
    const std::string strFile = PrvActivationPath(config);
    if (::unlink(strFile.c_str()) != 0 && errno != ENOENT) {
        const int nErr = errno;
        mfCMLog("UnregServer: cannot remove " + strFile);
        return HRESULT_FROM_WIN32(mfWin32ErrorFromErrno(nErr));
    }
    return S_OK;
}

}  // namespace

std::string mfActivationFileText(const std::string& strExecutable) {
    return std::string("[D-BUS Service]\nName=") + cmifc::kBusName + "\nExec=" + PrvQuoteForExec(strExecutable) +
           "\nUser=root\nSystemdService=" +
           kSystemdUnitName + "\n";
}

HRESULT mfRegisterServer(const mcServiceConfig& config) {
    const std::string strExecutable = config.ExecutablePath();
    if (strExecutable.empty()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    const HRESULT hr = PrvRegisterAppId();
    if (FAILED(hr)) return hr;
    return PrvRegisterClass(config, strExecutable);
}

HRESULT mfUnregisterServer(const mcServiceConfig& config) {
    const HRESULT hr = PrvUnregisterClass(config);
    if (FAILED(hr)) return hr;
    return PrvUnregisterAppId();
}

}  // namespace svcreg
