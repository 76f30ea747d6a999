// kettrinctl config: the component manager's settings by name, each mapped to
// its registry value. 'kettrinctl reg' stays for everything else.
#include <cctype>
#include <iostream>

#include "base/Win32Error.h"
#include "net/mcConnectionCheck.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "registry/mcSettingsRegImpl.h"
#include "tools/kettrinctl/CtlCommand.h"
#include "tools/kettrinctl/CtlJson.h"
#include "tools/kettrinctl/CtlMessages.h"
#include "tools/kettrinctl/CtlOptions.h"

namespace kettrinctl {
namespace {

using core::registry::RegistryKey;
namespace reg = core::registry;

enum class meKind { kText, kHost, kUrl, kNumber, kSwitch };

struct msSetting {
    const char* pszName;
    meKind eKind;
    // A value of the component manager's key, or (bNetServices) of the
    // network settings the connection check reads.
    bool bNetServices;
    const char* pszValue;
    const char* pszDefault;  // as printed
    const char* pszMeaning;
};

const std::vector<msSetting>& PrvSettings() {
    static const std::vector<msSetting> vecSettings = {
        {"app-path", meKind::kText, false, "AppPath", mcCMUtils::kDefaultAppPath,
         "application folder: configuration, manifests, log, holding area"},
        {"manifest-dir-url", meKind::kUrl, false, "ManifestDirUrl", "(asked of the redirect server)",
         "URL of the manifest directory"},
        {"redirect-server", meKind::kHost, false, "RedirectServer", "(none)",
         "host[:port] that names the manifest directory URL"},
        {"event-server", meKind::kHost, false, "EventServer", "(none)", "host[:port] that receives event reports"},
        {"send-events", meKind::kSwitch, false, "SendEvents", "1",
         "1 sends event reports (download, install and manifest outcomes), 0 sends none"},
        {"require-package-hash", meKind::kSwitch, false, "RequirePackageHash", "0",
         "1 refuses to download a package whose manifest entry names no SHA-256"},
        {"require-strong-signature", meKind::kSwitch, false, "RequireStrongSignature", "0",
         "1 refuses manifests signed in the legacy RSA-512/SHA-1 form; only KSIG2 signatures load"},
        {"trusted-keys-path", meKind::kText, false, "TrustedKeysPath", "/etc/tavrolin/trusted-keys",
         "folder of the PEM public keys KSIG2 manifest signatures are verified with"},
        {"connection-check-server", meKind::kHost, false, "ConnectionCheckServer", "(none)",
         "host[:port] of the connection check's HTTP probe"},
        {"connection-check-algorithm", meKind::kNumber, true, "ConnectionCheckAlgorithm", "2",
         "0 always online, 1 connection state, 2 HTTP probe, 3 adapters or modem, 4 ARP entries or modem"},
        {"connection-check-http", meKind::kSwitch, true, "ConnectionCheckPingEnabled", "1",
         "0 skips the HTTP probe (it then passes)"},
        {"connection-check-timeout", meKind::kNumber, true, "ConnectionCheckPingTimeout", "30000",
         "time-out of the HTTP probe in milliseconds (at least 5000)"},
    };
    return vecSettings;
}

constexpr const char* kUsage =
    "usage: kettrinctl config list\n"
    "       kettrinctl config get NAME\n"
    "       kettrinctl config set NAME VALUE\n"
    "       kettrinctl config unset NAME\n"
    "\n"
    "The component manager's settings by name. 'list' prints every setting with\n"
    "its value (or its default, marked), 'get' the value in force, 'set' stores\n"
    "one, 'unset' returns to the default. The service reads them on next use.\n"
    "With --json, list and get print objects {\"name\",\"value\",\"set\",\"default\",\n"
    "\"registry\"}. Exit status: 0 done, 1 unknown setting, 2 usage error or a\n"
    "value of the wrong form, 3 the registry could not be used.\n"
    "\n"
    "Settings:\n";

struct msLocation {
    std::int32_t nRoot = 0;
    std::string strKey;
    std::string strName;
    std::string strText;  // as 'kettrinctl reg' writes it
};

msLocation PrvLocation(const msSetting& setting) {
    msLocation location;
    if (setting.bNetServices) {
        mcSettingsRegImpl::ValuePath path;
        mcSettingsRegImpl::ParseValuePath(std::string(mcConnectionCheck::kSettingsPath) + setting.pszValue, path);
        location.nRoot = path.root;
        location.strKey = path.key;
        location.strName = path.name;
    } else {
        location.nRoot = mcCMUtils::kRegistryRoot;
        location.strKey = mcCMUtils::kRegistryKey;
        location.strName = setting.pszValue;
    }
    location.strText = "HKLM\\" + location.strKey + " " + location.strName;
    return location;
}

bool PrvIsNumeric(meKind eKind) { return eKind == meKind::kNumber || eKind == meKind::kSwitch; }

// The stored value as text; false when it is not set.
bool PrvRead(const msSetting& setting, std::string& strValue) {
    const msLocation location = PrvLocation(setting);
    if (!RegistryKey::ValueExists(location.nRoot, location.strKey, reg::KEY_READ, location.strName)) return false;
    RegistryKey key(location.nRoot, location.strKey, reg::KEY_READ);
    if (PrvIsNumeric(setting.eKind)) {
        strValue = std::to_string(key.GetValueDWord(location.strName));
    } else {
        strValue = key.GetValueString(location.strName);
    }
    return true;
}

// Why strValue cannot be stored; empty when it can.
std::string PrvCheckValue(const msSetting& setting, const std::string& strValue) {
    switch (setting.eKind) {
        case meKind::kText:
            if (strValue.empty() || strValue[0] != '/') return "needs an absolute path";
            return {};
        case meKind::kHost:
            if (strValue.empty()) return "needs host[:port]";
            for (const char c : strValue) {
                const unsigned char u = static_cast<unsigned char>(c);
                if (u <= 0x20 || u == 0x7F || std::string("/?#@\\").find(c) != std::string::npos) {
                    return "needs host[:port], without scheme, path or blanks";
                }
            }
            return {};
        case meKind::kUrl:
            if (strValue.rfind("http://", 0) != 0 && strValue.rfind("https://", 0) != 0) {
                return "needs an http:// or https:// URL";
            }
            return {};
        case meKind::kSwitch:
            if (strValue != "0" && strValue != "1") return "needs 0 or 1";
            return {};
        case meKind::kNumber:
            if (strValue.empty() || strValue.size() > 10) return "needs a number";
            for (const char c : strValue) {
                if (!std::isdigit(static_cast<unsigned char>(c))) return "needs a number";
            }
            if (std::stoull(strValue) > 0xFFFFFFFFull) return "needs a number below 2^32";
            return {};
    }
    return {};
}

const msSetting* PrvFind(const std::string& strName) {
    for (const msSetting& setting : PrvSettings()) {
        if (strName == setting.pszName) return &setting;
    }
    return nullptr;
}

CtlJson PrvJson(const msSetting& setting, bool bSet, const std::string& strValue) {
    CtlJson value = bSet ? (PrvIsNumeric(setting.eKind) ? CtlJson(static_cast<std::int64_t>(std::stoll(strValue)))
                                                        : CtlJson(strValue))
                         : CtlJson();
    return CtlJson::MakeObject({{"name", setting.pszName},
                                {"value", value},
                                {"set", bSet},
                                {"default", setting.pszDefault},
                                {"registry", PrvLocation(setting).strText}});
}

void PrintUsage(std::ostream& out) {
    out << kUsage;
    for (const msSetting& setting : PrvSettings()) {
        out << "  " << setting.pszName << "\n      " << setting.pszMeaning << "\n      default " << setting.pszDefault
            << "; registry " << PrvLocation(setting).strText << "\n";
    }
}

int UnknownSetting(const std::string& strName) {
    PrintError("config", "unknown setting '" + strName + "' (see 'kettrinctl config list')");
    return kExitNo;
}

int RunList(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        PrintError("config", "list takes no arguments");
        return kExitUsage;
    }
    CtlJson::Array array;
    for (const msSetting& setting : PrvSettings()) {
        std::string strValue;
        const bool bSet = PrvRead(setting, strValue);
        if (CtlOptions::Current().bJson) {
            array.push_back(PrvJson(setting, bSet, strValue));
        } else if (!CtlOptions::Current().bQuiet) {
            std::cout << setting.pszName << " = " << (bSet ? strValue : std::string(setting.pszDefault))
                      << (bSet ? "" : "  (default)") << "\n";
        }
    }
    if (CtlOptions::Current().bJson) PrintJson(CtlJson(std::move(array)));
    return kExitOk;
}

int RunGet(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        PrintError("config", "get takes one NAME");
        return kExitUsage;
    }
    const msSetting* pSetting = PrvFind(args[1]);
    if (pSetting == nullptr) return UnknownSetting(args[1]);
    std::string strValue;
    const bool bSet = PrvRead(*pSetting, strValue);
    if (CtlOptions::Current().bJson) {
        PrintJson(PrvJson(*pSetting, bSet, strValue));
    } else if (!CtlOptions::Current().bQuiet) {
        std::cout << (bSet ? strValue : std::string(pSetting->pszDefault)) << "\n";
    }
    return kExitOk;
}

int RunSet(const std::vector<std::string>& args) {
    if (args.size() != 3) {
        PrintError("config", "set takes NAME and VALUE");
        return kExitUsage;
    }
    const msSetting* pSetting = PrvFind(args[1]);
    if (pSetting == nullptr) return UnknownSetting(args[1]);
    const std::string strWhy = PrvCheckValue(*pSetting, args[2]);
    if (!strWhy.empty()) {
        PrintError("config", std::string(pSetting->pszName) + " " + strWhy);
        return kExitUsage;
    }
    const msLocation location = PrvLocation(*pSetting);
    RegistryKey root(location.nRoot, "", reg::KEY_ALL_ACCESS);
    RegistryKey key = root.CreateSubKey(location.strKey, reg::KEY_ALL_ACCESS);
    if (PrvIsNumeric(pSetting->eKind)) {
        key.SetValueDWord(location.strName, static_cast<std::uint32_t>(std::stoull(args[2])));
    } else {
        key.SetValueString(location.strName, args[2]);
    }
    return kExitOk;
}

int RunUnset(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        PrintError("config", "unset takes one NAME");
        return kExitUsage;
    }
    const msSetting* pSetting = PrvFind(args[1]);
    if (pSetting == nullptr) return UnknownSetting(args[1]);
    const msLocation location = PrvLocation(*pSetting);
    if (!RegistryKey::ValueExists(location.nRoot, location.strKey, reg::KEY_READ, location.strName)) return kExitOk;
    RegistryKey key(location.nRoot, location.strKey, reg::KEY_ALL_ACCESS);
    key.DeleteValue(location.strName);
    return kExitOk;
}

int RunConfig(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        PrintUsage(std::cout);
        return kExitOk;
    }
    if (args.empty()) {
        PrintError("config", "missing sub-command (list, get, set, unset)");
        return kExitUsage;
    }
    try {
        if (args[0] == "list") return RunList(args);
        if (args[0] == "get") return RunGet(args);
        if (args[0] == "set") return RunSet(args);
        if (args[0] == "unset") return RunUnset(args);
    } catch (const RegistryKey::ValueTypeException& exc) {
        PrintError("config", "the stored value has another type; fix it with 'kettrinctl reg'", exc.what(), true);
        return kExitFailed;
    } catch (const mcExc& exc) {
        PrintRegistryFailure("config", exc);
        return kExitFailed;
    }
    PrintError("config", "unknown sub-command '" + args[0] + "' (list, get, set, unset)");
    return kExitUsage;
}

}  // namespace

KETTRINCTL_COMMAND("config", "the component manager's settings by name (list, get, set, unset)", RunConfig);

}  // namespace kettrinctl
