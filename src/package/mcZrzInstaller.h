#pragma once
// mcZrzInstaller: installs and removes ".zrz" packages (mcZrzPackage) below
// the components folder, and writes the result texts an installer reports to
// the component manager ("InstallData" and "UninstallData" layouts).
//
// A component is installed into <components folder>/<component>. The files
// are extracted into a new folder beside it (".<component>.new-XXXXXX") and
// only a complete extraction is swapped in, atomically where the file system
// can exchange two names (renameat2 RENAME_EXCHANGE), else by two renames; a
// failure before the swap leaves the previous installation as it was and
// removes the new folder. A successful install leaves the receipt
// ".<component>.zrz.xml" beside the folder. Removal first renames the
// installation aside, then deletes it and the receipt.
//
// Neither operation throws: every failure becomes a result with bSuccess false
// and the reason in strErrorCode. Threads: one at a time (extraction changes
// the working folder, see mcZrzPackage).
#include <string>

#include "package/mcZrzPackage.h"

class mcZrzInstaller {
public:
    // Registry value (string, under mcCMUtils::kRegistryKey) naming the folder
    // components are installed into, and its default.
    static constexpr const char* kComponentsPathValue = "ComponentsPath";
    static constexpr const char* kDefaultComponentsPath = "/opt/tavrolin/components";

    struct Result {
        bool bSuccess = false;
        std::string strComponent;
        std::string strVersion;
        std::string strManifest;
        std::string strInstallPath;  // set on a successful install
        std::string strErrorCode;    // "0" on success, else the reason
    };

    // strComponentsPath must be absolute; it is created when missing.
    explicit mcZrzInstaller(std::string strComponentsPath,
                            mcZrzPackage::Limits limits = mcZrzPackage::Limits());

    // The "ComponentsPath" value of the registry, or the default when it is
    // missing, empty or cannot be read.
    static std::string ComponentsPathFromRegistry();

    // Installs the package file strPackage. When the package cannot be read
    // the result names the component after the folder holding the package
    // (the holding area keeps one folder per component) if that is a safe
    // file name, so the report still reaches the right component. A package
    // in the holding area (mcCMUtils::GetHoldingArea()/<component>/) must
    // describe that component.
    Result Install(const std::string& strPackage) const;
    // Removes the installation of the component the package describes. A
    // component that is not installed counts as removed. When the package
    // cannot be read, the receipt a successful install left in the components
    // folder (".<component>.zrz.xml", the package's zrz.xml) stands in for it,
    // the component named by the folder holding the package.
    Result Uninstall(const std::string& strPackage) const;

    // The report texts. strUninstallExe: the package's file name, recorded
    // as the uninstall program with the arguments "/uninstall".
    static std::string InstallDataXml(const Result& result, const std::string& strUninstallExe);
    static std::string UninstallDataXml(const Result& result);

private:
    // Where the folder of the component goes; throws mcZrzPackage::Exception
    // when the components folder is unusable.
    std::string PrvTargetFor(const std::string& strComponent) const;
    // Renames strStaging over strTarget, keeping the old installation until
    // the new one is in place; the old one is deleted afterwards.
    static void PrvSwapIn(const std::string& strStaging, const std::string& strTarget);
    // The install receipt of a component.
    std::string PrvReceiptPath(const std::string& strComponent) const;
    // The package's descriptor, else the receipt's (see Uninstall); throws
    // the package's error when neither can be read.
    mcZrzPackage::Descriptor PrvUninstallDescriptor(const std::string& strPackage) const;
    // A new empty folder ".<component>.<tag>-XXXXXX" in the components folder.
    std::string PrvMakeSideFolder(const std::string& strComponent, const char* pszTag) const;

    std::string m_strComponentsPath;
    mcZrzPackage::Limits m_limits;
};
