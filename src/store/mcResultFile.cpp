#include "store/mcResultFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/StrConv.h"
#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "base/mcExc.h"
#include "store/mcComponentConfig.h"

namespace {

constexpr const char* kAttrName = "name";
constexpr const char* kAttrVersion = "version";
constexpr const char* kAttrResult = "result";
constexpr const char* kElemManifestName = "ManifestName";
constexpr const char* kElemInstall = "Install";
constexpr const char* kElemInstallPath = "InstallPath";
constexpr const char* kElemErrorCode = "ErrorCode";
constexpr const char* kElemUninstall = "Uninstall";
constexpr const char* kElemExe = "Exe";
constexpr const char* kElemCmdline = "Cmdline";

bool PrvWriteAll(int fd, const std::string& strBytes) {
    std::size_t nDone = 0;
    while (nDone < strBytes.size()) {
        const ssize_t n = write(fd, strBytes.data() + nDone, strBytes.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        nDone += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

mcResultFile::mcResultFile(Kind kind, const std::string& strAppPath)
    : m_kind(kind),
      m_strPath(mfPathJoin(strAppPath, kind == Kind::kInstall ? kInstallFileName : kUninstallFileName)) {}

bool mcResultFile::Write(const std::string& strText) {
    const std::string strBytes = mfConvertWideToMBCS(strText, CP_ACP, 0);
    // Always a fresh file of our own: whatever is at the path (a leftover, a
    // link, a file someone else holds open or locked) is removed first, and
    // the new one is readable by us alone.
    if (unlink(m_strPath.c_str()) != 0 && errno != ENOENT) return false;
    const int fd = open(m_strPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    // The text takes the range from the file's start. A zero length would
    // lock to the end of the file: nothing is locked for an empty text.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = static_cast<off_t>(strBytes.size());
    const bool bLock = !strBytes.empty();
    if (bLock && fcntl(fd, F_SETLK, &lock) != 0) {
        // Held by another process (or locks unsupported): never wait here,
        // the caller holds the store's lock.
        close(fd);
        unlink(m_strPath.c_str());
        return false;
    }
    bool bOk = ftruncate(fd, 0) == 0 && PrvWriteAll(fd, strBytes);
    if (bLock) {
        lock.l_type = F_UNLCK;
        fcntl(fd, F_SETLK, &lock);
    }
    if (close(fd) != 0) bOk = false;
    // A text that was not written whole must not be read back as if it had
    // been.
    if (!bOk) unlink(m_strPath.c_str());
    return bOk;
}

bool mcResultFile::Load() {
    return mcComponentConfig::LoadDocument(m_doc, m_strPath, false, mcXmlAttributeLimits::InstallData());
}

void mcResultFile::Delete() { unlink(m_strPath.c_str()); }

mcResultFile::DeleteGuard::~DeleteGuard() { m_file.Delete(); }

std::string mcResultFile::PrvRead(const char* pszReader,
                                  const std::function<std::string(miXMLDOMElement&)>& fnRead) {
    try {
        miXMLDOMElement root = m_doc.GetDocumentElement();
        return fnRead(root);
    } catch (const mcExc& exc) {
        mfCMLog(std::string("mcComponentConfig::") + pszReader + " mcExc exception");
        mfCMLog(exc.Description());
    }
    return std::string();
}

std::string mcResultFile::PrvRootAttribute(const char* pszReader, const char* pszAttribute) {
    return PrvRead(pszReader, [pszAttribute](miXMLDOMElement& root) { return root.GetAttributeText(pszAttribute); });
}

std::string mcResultFile::PrvChildText(const char* pszReader, const char* pszChild) {
    return PrvRead(pszReader, [pszChild](miXMLDOMElement& root) { return root.GetChildElementText(pszChild); });
}

std::string mcResultFile::PrvResult() {
    const bool bInstall = m_kind == Kind::kInstall;
    const char* pszElement = bInstall ? kElemInstall : kElemUninstall;
    return PrvRead(bInstall ? "PrvGetInstallDataInstallResult" : "PrvGetUninstallDataUninstallResult",
                   [pszElement](miXMLDOMElement& root) {
                       return root.GetChildElement(pszElement).GetAttributeText(kAttrResult);
                   });
}

std::string mcResultFile::PrvErrorCode() {
    return PrvChildText(m_kind == Kind::kInstall ? "PrvGetInstallDataErrorCode" : "PrvGetUninstallDataErrorCode",
                        kElemErrorCode);
}

mcResultFile::InstallItems mcResultFile::ReadInstall() {
    InstallItems items;
    items.strName = PrvRootAttribute("PrvGetInstallDataComponentName", kAttrName);
    items.strVersion = PrvRootAttribute("PrvGetInstallDataComponentVersion", kAttrVersion);
    items.strManifest = PrvChildText("PrvGetInstallDataComponentManifest", kElemManifestName);
    items.strResult = PrvResult();
    items.strInstallPath = PrvChildText("PrvGetInstallDataInstallPath", kElemInstallPath);
    items.strErrorCode = PrvErrorCode();
    items.strUninstallExe = PrvRead("PrvGetInstallDataUninstallExe", [](miXMLDOMElement& root) {
        return root.GetChildElement(kElemUninstall).GetChildElementText(kElemExe);
    });
    items.strUninstallCmdline = PrvRead("PrvGetInstallDataUninstallCmdline", [](miXMLDOMElement& root) {
        return root.GetChildElement(kElemUninstall).GetChildElementText(kElemCmdline);
    });
    return items;
}

mcResultFile::UninstallItems mcResultFile::ReadUninstall() {
    UninstallItems items;
    items.strName = PrvRootAttribute("PrvGetUninstallDataComponentName", kAttrName);
    items.strVersion = PrvRootAttribute("PrvGetUninstallDataComponentVersion", kAttrVersion);
    items.strResult = PrvResult();
    items.strErrorCode = PrvErrorCode();
    return items;
}

void mcResultFile::ReadOutcome(std::string& strResult, std::string& strErrorCode) {
    strResult = PrvResult();
    strErrorCode = PrvErrorCode();
}
