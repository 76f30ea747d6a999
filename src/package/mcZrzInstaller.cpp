#include "package/mcZrzInstaller.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

#include "base/FileUtils.h"
#include "base/SafeFileName.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "xml/miXMLDOMDocument.h"

namespace {

constexpr const char* kFunction = "mcZrzInstaller";

[[noreturn]] void PrvFail(const std::string& strText) {
    KTHROW(mcZrzPackage::Exception, kFunction, strText);
}

std::string FileNameOf(const std::string& strPath) {
    const std::size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

std::string FolderOf(const std::string& strPath) {
    const std::size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? std::string(".") : strPath.substr(0, nSlash);
}

// Removes what is at strPath: a folder with its content, or a file or link.
bool RemovePath(const std::string& strPath) {
    struct stat st {};
    if (::lstat(strPath.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) return mfDeleteDirectoryTree(strPath);
    return ::unlink(strPath.c_str()) == 0;
}

// Keeps only what XML text can carry when the text is not valid UTF-8 or
// holds control characters.
std::string XmlSafe(const std::string& strText) {
    std::string strOut;
    for (const char c : strText) {
        const auto u = static_cast<unsigned char>(c);
        strOut += (u >= 0x80 || (u < 0x20 && c != '\t' && c != '\n')) ? '?' : c;
    }
    return strOut;
}

void AddText(miXMLDOMDocument& doc, miXMLDOMElement& parent, const char* pszName, const std::string& strText) {
    try {
        parent.AppendChild(doc.CreateTextElement(pszName, strText));
    } catch (const mcExc&) {
        parent.AppendChild(doc.CreateTextElement(pszName, XmlSafe(strText)));
    }
}

void SetAttribute(miXMLDOMElement& element, const char* pszName, const std::string& strText) {
    try {
        element.SetAttributeText(pszName, strText);
    } catch (const mcExc&) {
        element.SetAttributeText(pszName, XmlSafe(strText));
    }
}

}  // namespace

mcZrzInstaller::mcZrzInstaller(std::string strComponentsPath, mcZrzPackage::Limits limits)
    : m_strComponentsPath(std::move(strComponentsPath)), m_limits(limits) {}

std::string mcZrzInstaller::ComponentsPathFromRegistry() {
    try {
        core::registry::RegistryKey key(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey,
                                        core::registry::KEY_READ);
        const std::string strPath = key.GetValueString(kComponentsPathValue);
        if (!strPath.empty()) return strPath;
    } catch (const mcExc&) {
        // Missing key or value, or an unreadable registry: the default.
    }
    return kDefaultComponentsPath;
}

mcZrzInstaller::Result mcZrzInstaller::Install(const std::string& strPackage) const {
    Result result;
    std::string strStaging;
    try {
        mcZrzPackage package = [&] {
            try {
                return mcZrzPackage::Open(strPackage, m_limits);
            } catch (const mcZrzPackage::Exception&) {
                const std::string strFolder = FileNameOf(FolderOf(strPackage));
                if (mfIsSafeFileName(strFolder)) result.strComponent = strFolder;
                throw;
            }
        }();
        const mcZrzPackage::Descriptor& descriptor = package.GetDescriptor();
        result.strComponent = descriptor.strComponent;
        result.strVersion = descriptor.strVersion;
        result.strManifest = descriptor.strManifest;

        // A package fetched for one component never replaces another one.
        const std::string strFolder = FolderOf(strPackage);
        if (FolderOf(strFolder) == mcCMUtils::GetHoldingArea() && FileNameOf(strFolder) != descriptor.strComponent) {
            PrvFail("the package is for the component \"" + descriptor.strComponent + "\", not \"" +
                    FileNameOf(strFolder) + "\"");
        }
        const std::string strTarget = PrvTargetFor(descriptor.strComponent);
        strStaging = PrvMakeSideFolder(descriptor.strComponent, "new");
        package.ExtractFiles(strStaging);
        PrvSwapIn(strStaging, strTarget);
        strStaging.clear();
        // The receipt lets an uninstall find the version after the package
        // has left the holding area; without it only the package can tell.
        mfWriteFileAtomic(PrvReceiptPath(descriptor.strComponent), mcZrzPackage::DescriptorXml(descriptor), 0644);
        result.strInstallPath = strTarget;
        result.strErrorCode = "0";
        result.bSuccess = true;
    } catch (const mcExc& e) {
        result.strErrorCode = e.Description();
    }
    if (!strStaging.empty()) RemovePath(strStaging);
    return result;
}

mcZrzInstaller::Result mcZrzInstaller::Uninstall(const std::string& strPackage) const {
    Result result;
    try {
        const mcZrzPackage::Descriptor descriptor = PrvUninstallDescriptor(strPackage);
        result.strComponent = descriptor.strComponent;
        result.strVersion = descriptor.strVersion;
        result.strManifest = descriptor.strManifest;

        const std::string strTarget = PrvTargetFor(descriptor.strComponent);
        struct stat st {};
        if (::lstat(strTarget.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) {
                // Out of the way first, so that the component's folder is
                // either whole or gone.
                const std::string strAside = PrvMakeSideFolder(descriptor.strComponent, "old");
                if (::rename(strTarget.c_str(), strAside.c_str()) != 0) {
                    const int nErr = errno;
                    RemovePath(strAside);
                    PrvFail(strTarget + ": cannot be removed: " + std::strerror(nErr));
                }
                if (!RemovePath(strAside)) PrvFail(strAside + ": could not be deleted completely");
            } else if (::unlink(strTarget.c_str()) != 0) {
                PrvFail(strTarget + ": cannot be removed: " + std::strerror(errno));
            }
        } else if (errno != ENOENT) {
            PrvFail(strTarget + ": " + std::strerror(errno));
        }
        ::unlink(PrvReceiptPath(descriptor.strComponent).c_str());
        result.strErrorCode = "0";
        result.bSuccess = true;
    } catch (const mcExc& e) {
        result.strErrorCode = e.Description();
    }
    return result;
}

std::string mcZrzInstaller::PrvReceiptPath(const std::string& strComponent) const {
    return FolderOf(PrvTargetFor(strComponent)) + "/." + strComponent + ".zrz.xml";
}

mcZrzPackage::Descriptor mcZrzInstaller::PrvUninstallDescriptor(const std::string& strPackage) const {
    try {
        return mcZrzPackage::Open(strPackage, m_limits).GetDescriptor();
    } catch (const mcZrzPackage::Exception&) {
        // The package may be gone from the holding area (a failed update
        // clears the component's folder there): the receipt of the install
        // names the same component.
        const std::string strComponent = FileNameOf(FolderOf(strPackage));
        if (!mfIsSafeFileName(strComponent)) throw;
        std::ifstream in(PrvReceiptPath(strComponent), std::ios::binary);
        std::string strXml(mcZrzPackage::kMaxDescriptorBytes + 1, '\0');
        in.read(strXml.data(), static_cast<std::streamsize>(strXml.size()));
        strXml.resize(static_cast<std::size_t>(in.gcount()));
        if (strXml.empty() || strXml.size() > mcZrzPackage::kMaxDescriptorBytes) throw;
        mcZrzPackage::Descriptor descriptor;
        try {
            descriptor = mcZrzPackage::ParseDescriptor(strXml);
        } catch (const mcZrzPackage::Exception&) {
        }
        if (descriptor.strComponent != strComponent) throw;
        return descriptor;
    }
}

std::string mcZrzInstaller::PrvTargetFor(const std::string& strComponent) const {
    if (m_strComponentsPath.empty() || m_strComponentsPath[0] != '/') {
        PrvFail("the components folder \"" + m_strComponentsPath + "\" is not an absolute path");
    }
    if (!mfIsSafeFileName(strComponent)) {
        PrvFail("the component name \"" + strComponent + "\" is not a safe file name");
    }
    if (!mfCreateDirectories(m_strComponentsPath)) {
        PrvFail(m_strComponentsPath + ": cannot create the components folder: " + std::strerror(errno));
    }
    std::string strBase = m_strComponentsPath;
    while (strBase.size() > 1 && strBase.back() == '/') strBase.pop_back();
    return (strBase == "/" ? "" : strBase) + "/" + strComponent;
}

std::string mcZrzInstaller::PrvMakeSideFolder(const std::string& strComponent, const char* pszTag) const {
    std::string strTemplate = FolderOf(PrvTargetFor(strComponent)) + "/." + strComponent + "." + pszTag + "-XXXXXX";
    if (::mkdtemp(strTemplate.data()) == nullptr) {
        PrvFail(strTemplate + ": cannot create a folder: " + std::strerror(errno));
    }
    ::chmod(strTemplate.c_str(), 0755);
    return strTemplate;
}

void mcZrzInstaller::PrvSwapIn(const std::string& strStaging, const std::string& strTarget) {
    if (::renameat2(AT_FDCWD, strStaging.c_str(), AT_FDCWD, strTarget.c_str(), RENAME_EXCHANGE) == 0) {
        // The old installation now has the staging folder's name.
        RemovePath(strStaging);
        return;
    }
    if (errno == ENOENT) {
        if (::renameat2(AT_FDCWD, strStaging.c_str(), AT_FDCWD, strTarget.c_str(), RENAME_NOREPLACE) == 0) {
            return;
        }
        PrvFail(strTarget + ": cannot be put in place: " + std::strerror(errno));
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        PrvFail(strTarget + ": cannot be replaced: " + std::strerror(errno));
    }
    // No exchange on this file system: old aside, new in, old deleted.
    const std::string strAside = strStaging + ".old";
    if (::rename(strTarget.c_str(), strAside.c_str()) != 0) {
        PrvFail(strTarget + ": cannot be replaced: " + std::strerror(errno));
    }
    if (::rename(strStaging.c_str(), strTarget.c_str()) != 0) {
        const int nErr = errno;
        if (::rename(strAside.c_str(), strTarget.c_str()) != 0) {
            // The old installation stays at strAside; the error names the target.
        }
        PrvFail(strTarget + ": cannot be put in place: " + std::strerror(nErr));
    }
    RemovePath(strAside);
}

std::string mcZrzInstaller::InstallDataXml(const Result& result, const std::string& strUninstallExe) {
    miXMLDOMDocument doc;
    miXMLDOMElement root = doc.CreateElement("InstallData");
    SetAttribute(root, "name", result.strComponent);
    SetAttribute(root, "version", result.strVersion);
    doc.AppendChild(root);
    AddText(doc, root, "ManifestName", result.strManifest);
    miXMLDOMElement install = doc.CreateElement("Install");
    install.SetAttributeText("result", result.bSuccess ? "success" : "fail");
    root.AppendChild(install);
    AddText(doc, root, "InstallPath", result.strInstallPath);
    AddText(doc, root, "ErrorCode", result.strErrorCode);
    miXMLDOMElement uninstall = doc.CreateElement("Uninstall");
    root.AppendChild(uninstall);
    AddText(doc, uninstall, "Exe", strUninstallExe);
    AddText(doc, uninstall, "Cmdline", "/uninstall");
    return doc.GetXml();
}

std::string mcZrzInstaller::UninstallDataXml(const Result& result) {
    miXMLDOMDocument doc;
    miXMLDOMElement root = doc.CreateElement("UninstallData");
    SetAttribute(root, "name", result.strComponent);
    SetAttribute(root, "version", result.strVersion);
    doc.AppendChild(root);
    miXMLDOMElement uninstall = doc.CreateElement("Uninstall");
    uninstall.SetAttributeText("result", result.bSuccess ? "success" : "fail");
    root.AppendChild(uninstall);
    AddText(doc, root, "ErrorCode", result.strErrorCode);
    return doc.GetXml();
}
