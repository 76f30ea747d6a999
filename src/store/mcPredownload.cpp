#include "store/mcPredownload.h"

#include <sys/stat.h>

#include "base/FileUtils.h"
#include "base/SafeFileName.h"
#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "xml/miXMLDOMDocument.h"
#include "xml/miXMLDOMElement.h"

namespace {

constexpr const char* kLogNoLocation = "PredownloadComponent: Component location doesn't exist: ";
constexpr const char* kLogCopyFailed = "PredownloadComponent: CopyFile failed: ";
constexpr const char* kLogBadName = "PredownloadComponent: invalid component name: ";
constexpr const char* kLogBadFileName = "PredownloadComponent: invalid file name: ";

}  // namespace

mcPredownload::mcPredownload(const std::string& strText) {
    miXMLDOMDocument request;
    request.SetValidateOnParse(true);
    request.SetAsync(false);
    request.SetAttributeLimits(mcXmlAttributeLimits::InstallData());
    request.loadXML(strText);
    miXMLDOMElement root = request.GetDocumentElement();
    m_strName = root.GetAttributeText("name");
    m_strVersion = root.GetAttributeText("version");
    m_strLocation = root.GetAttributeText("location");
}

bool mcPredownload::CheckName() const {
    // The name becomes a folder of the holding area.
    if (mfIsSafeFileName(m_strName)) return true;
    mfCMLog(kLogBadName + m_strName);
    return false;
}

bool mcPredownload::CopyPackage(const std::string& strHoldingArea) const {
    // Only a regular file: a device or a FIFO would never end or block the
    // store.
    struct stat st {};
    if (stat(m_strLocation.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        mfCMLog(kLogNoLocation + m_strLocation);
        return false;
    }
    const std::string strFileName = mfStrGetFileNameFromPath(m_strLocation);
    if (!mfIsSafeFileName(strFileName)) {
        mfCMLog(kLogBadFileName + m_strLocation);
        return false;
    }
    std::string strFolder = mfPathJoin(strHoldingArea, m_strName);
    if (strFolder.empty() || strFolder.back() != kPathSeparator) strFolder += kPathSeparator;
    struct stat stFolder {};
    if (stat(strFolder.c_str(), &stFolder) != 0 || !S_ISDIR(stFolder.st_mode)) mfCreateDirectories(strFolder);
    const std::string strTarget = strFolder + strFileName;
    if (!mfCopyFileAtomic(m_strLocation, strTarget)) {
        mfCMLog(kLogCopyFailed + m_strLocation + "to " + strTarget);
        return false;
    }
    return true;
}
