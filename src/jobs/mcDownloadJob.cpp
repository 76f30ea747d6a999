#include "jobs/mcDownloadJob.h"

#include <cryptopp/sha.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>

#include "base/FileUtils.h"
#include "base/SafeFileName.h"
#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "base/mcExc.h"
#include "jobs/HttpDLHelper.h"
#include "jobs/IComponentMgrInstaller.h"
#include "jobs/mcClientCallbackSender.h"
#include "net/mcQoSEvent.h"
#include "registry/RegistryKey.h"
#include "registry/mcCMUtils.h"
#include "store/mcComponentConfig.h"

namespace {

constexpr const char* kContentLength = "Content-Length";
constexpr const char* kLogHashPolicy = "mcDownloadJob::IsPackageHashRequired : ";
constexpr std::size_t kSha256HexDigits = 64;

// Lower-case hex of the digest.
std::string PrvHex(const CryptoPP::byte* pDigest, std::size_t nBytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string strHex;
    strHex.reserve(nBytes * 2);
    for (std::size_t i = 0; i < nBytes; ++i) {
        strHex.push_back(kDigits[pDigest[i] >> 4]);
        strHex.push_back(kDigits[pDigest[i] & 0x0F]);
    }
    return strHex;
}

std::string PrvLowerAscii(std::string strText) {
    for (char& c : strText) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return strText;
}

// A Content-Length value read like _wtoi (white space, sign, digits), in 64
// bits and saturating, so packages beyond 2 GB still get a sensible percent.
long long PrvParseLength(const std::string& strValue) {
    std::size_t nPos = 0;
    while (nPos < strValue.size() && (strValue[nPos] == ' ' || (strValue[nPos] >= '\t' && strValue[nPos] <= '\r')))
        ++nPos;
    bool bNegative = false;
    if (nPos < strValue.size() && (strValue[nPos] == '+' || strValue[nPos] == '-')) {
        bNegative = strValue[nPos] == '-';
        ++nPos;
    }
    long long nValue = 0;
    for (; nPos < strValue.size() && strValue[nPos] >= '0' && strValue[nPos] <= '9'; ++nPos) {
        if (nValue > (0x7FFFFFFFFFFFFFFFLL - 9) / 10) return bNegative ? -1 : 0x7FFFFFFFFFFFFFFFLL;
        nValue = nValue * 10 + (strValue[nPos] - '0');
    }
    return bNegative ? -nValue : nValue;
}

// Makes a rename inside folder durable; best effort (some file systems
// cannot sync folders).
void PrvSyncFolder(const std::string& strFolder) {
    const int fd = ::open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

}  // namespace

mcDownloadJob::mcDownloadJob(mcComponentConfig* pComponentConfig, mcClientCallback callback,
                             std::string strUrl, std::string strClientName, std::string strManifestName,
                             std::string strComponentName, std::string strVersion,
                             bool bInstallAfterDownload, IComponentMgrInstaller* pInstaller,
                             std::string strExpectedSha256, Settings settings)
    : mcComponentMgrJob(pComponentConfig, std::move(callback), std::move(strManifestName),
                        std::move(strClientName), std::move(strComponentName)),
      m_strUrl(std::move(strUrl)),
      m_strVersion(std::move(strVersion)),
      m_bInstallAfterDownload(bInstallAfterDownload),
      m_pInstaller(pInstaller),
      m_strExpectedSha256(PrvLowerAscii(std::move(strExpectedSha256))),
      m_settings(std::move(settings)) {}

mcDownloadJob::~mcDownloadJob() = default;

bool mcDownloadJob::DefaultEventSender(const mcQoSEvent& event) { return SendQoSEvent(event); }

std::string mcDownloadJob::PackageFileNameFromUrl(const std::string& strUrl) {
    const std::size_t nEnd = strUrl.find_first_of("?#");
    const std::string strBase = strUrl.substr(0, nEnd);
    std::size_t nPathStart = 0;
    const std::size_t nScheme = strBase.find("://");
    if (nScheme != std::string::npos) {
        // The path starts after the authority; a URL without one has no file.
        nPathStart = strBase.find('/', nScheme + 3);
        if (nPathStart == std::string::npos) return std::string();
    }
    const std::size_t nLastSlash = strBase.rfind('/');
    if (nLastSlash == std::string::npos || nLastSlash < nPathStart) return strBase.substr(nPathStart);
    return strBase.substr(nLastSlash + 1);
}

bool mcDownloadJob::IsPackageHashRequired() {
    using core::registry::RegistryKey;
    try {
        if (!RegistryKey::ValueExists(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey,
                                      core::registry::KEY_READ, kRequirePackageHashValue)) {
            return false;
        }
        RegistryKey key(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey, core::registry::KEY_READ);
        return key.GetValueDWord(kRequirePackageHashValue) != 0;
    } catch (const mcExc& exc) {
        mfCMLog(kLogHashPolicy + exc.Description());
        return true;
    }
}

void mcDownloadJob::Cancel() {
    m_bForceAbort = true;
    std::lock_guard<std::mutex> lock(m_mutexHelper);
    if (m_pActiveHelper != nullptr) m_pActiveHelper->Abort();
}

std::string mcDownloadJob::PrvHoldingArea() const {
    if (!m_settings.strHoldingArea.empty()) return m_settings.strHoldingArea;
    if (m_pComponentConfig != nullptr) return m_pComponentConfig->GetHoldingArea();
    return mcCMUtils::GetHoldingArea();
}

bool mcDownloadJob::PrvTakeForceAbort(std::string& strError) {
    if (!m_bForceAbort.exchange(false)) return false;
    strError = kErrForceAbort;
    return true;
}

bool mcDownloadJob::Run() {
    mcClientCallbackSender sender = mcClientCallbackSender::ForWorkerThread(m_callback);
    std::string strError;
    const bool bOk = PrvDoDownload(sender, strError);

    if (m_pComponentConfig != nullptr) {
        mcQoSEvent event;
        event.strClient = m_strClientName;
        event.strComponent = m_strComponentName;
        event.strComponentVersion = m_strVersion;
        if (bOk) {
            event.strEvent = kQoSDownloadSuccess;
            m_pComponentConfig->SetComponentName(m_strComponentName);
            m_pComponentConfig->SetComponentState(m_strComponentName, mcComponentConfig::kStateDownloaded,
                                                  m_strVersion);
            m_pComponentConfig->SetComponentManifest(m_strComponentName, m_strManifestName);
        } else {
            event.strEvent = kQoSDownloadFailure;
            event.strAdditionalInfo = strError;
        }
        if (m_settings.fnSendEvent) {
            m_settings.fnSendEvent(event);
        } else {
            DefaultEventSender(event);
        }
    }

    if (bOk && m_bInstallAfterDownload) {
        if (m_pInstaller != nullptr) {
            const HRESULT hr =
                m_pInstaller->ForceStartInstall(m_strClientName, m_strManifestName, m_strComponentName, m_callback);
            if (FAILED(hr)) {
                char szHr[16];
                std::snprintf(szHr, sizeof szHr, "0x%08X", static_cast<unsigned>(hr));
                mfCMLog(kLogForceStartInstallFailed + std::string(szHr));
            }
        }
    } else if (bOk) {
        sender.OnDownloadComplete(m_strComponentName);
    } else {
        sender.OnDownloadFailed(m_strComponentName, 0, std::string());
    }
    sender.Flush();
    return true;
}

bool mcDownloadJob::PrvDoDownload(mcClientCallbackSender& sender, std::string& strError) {
    // Both names become path elements below the holding area.
    const std::string strFileName = PackageFileNameFromUrl(m_strUrl);
    if (!mfIsSafeFileName(m_strComponentName) || !mfIsSafeFileName(strFileName)) {
        strError = kErrInvalidFileName + m_strUrl;
        mfCMLog(strError);
        return false;
    }

    HttpDLHelper helper;
    {
        std::lock_guard<std::mutex> lock(m_mutexHelper);
        m_pActiveHelper = &helper;
        if (m_bForceAbort) helper.Abort();
    }
    // Cancel() must not reach the helper once it is gone.
    struct PrvUnpublish {
        mcDownloadJob& job;
        ~PrvUnpublish() {
            std::lock_guard<std::mutex> lock(job.m_mutexHelper);
            job.m_pActiveHelper = nullptr;
        }
    } unpublish{*this};

    if (!helper.OpenAndSendRequest(m_strUrl)) {
        strError = kErrOpenAndSendRequest + m_strUrl;
        PrvTakeForceAbort(strError);
        mfCMLog(strError);
        return false;
    }

    long long nExpectedSize = kDefaultExpectedSize;
    if (const std::string* pLength = helper.GetResponseHeaders().FindNoCase(kContentLength)) {
        // A zero, negative or unreadable length would make the percent
        // meaningless; the default stands in for it.
        const long long nLength = PrvParseLength(*pLength);
        if (nLength > 0) nExpectedSize = nLength;
    } else {
        mfCMLog(kLogContentLengthMissing);
    }

    const std::string strFolder = mfPathJoin(PrvHoldingArea(), m_strComponentName);
    mfDeleteDirectoryTree(strFolder);  // a missing folder is no error
    const std::string strTarget = mfPathJoin(strFolder, strFileName);
    const std::string strPart = strTarget + kPartSuffix;

    if (!helper.OpenFile(strPart, false)) {
        strError = kErrOpenFile + strTarget;
        mfCMLog(strError);
        return false;
    }

    std::unique_ptr<CryptoPP::SHA256> pHash;
    if (!m_strExpectedSha256.empty()) pHash = std::make_unique<CryptoPP::SHA256>();

    bool bResult = true;
    long long nReceived = 0;
    bool bDone = false;
    while (!bDone) {
        if (PrvTakeForceAbort(strError)) {
            bResult = false;
            break;
        }
        if (!helper.ReadResponsePortion(kPortionBytes, bDone)) {
            strError = kErrReadPortion;
            PrvTakeForceAbort(strError);
            bResult = false;
            break;
        }
        const std::vector<std::uint8_t>& vecPortion = helper.GetBuffer();
        if (vecPortion.empty()) continue;
        if (!helper.WriteToFile()) {
            strError = kErrWriteToFile + strTarget;
            bResult = false;
            break;
        }
        if (pHash) pHash->Update(vecPortion.data(), vecPortion.size());
        nReceived += static_cast<long long>(vecPortion.size());
        const double dPercent = static_cast<double>(nReceived) / static_cast<double>(nExpectedSize) * 100.0;
        const std::int32_t nPercent = dPercent >= 100.0 ? 100 : static_cast<std::int32_t>(dPercent);
        sender.OnDownloadProgress(m_strComponentName, nPercent);
    }

    if (bResult) {
        // The package takes its own name only once it is complete, checked and
        // on disk.
        if (!helper.SyncFile() || !helper.CloseFile()) {
            strError = kErrWriteToFile + strTarget;
            bResult = false;
        } else if (pHash) {
            CryptoPP::byte digest[CryptoPP::SHA256::DIGESTSIZE];
            pHash->Final(digest);
            if (m_strExpectedSha256.size() != kSha256HexDigits ||
                PrvHex(digest, sizeof digest) != m_strExpectedSha256) {
                strError = kErrHashMismatch + strTarget;
                bResult = false;
            }
        }
        if (bResult) {
            if (::rename(strPart.c_str(), strTarget.c_str()) != 0) {
                strError = kErrWriteToFile + strTarget;
                bResult = false;
            } else {
                PrvSyncFolder(strFolder);
            }
        }
    }

    if (!bResult) {
        mfCMLog(strError);
        helper.CloseFile();
        ::unlink(strPart.c_str());
    }
    return bResult;
}
