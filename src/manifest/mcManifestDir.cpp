#include "manifest/mcManifestDir.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

#include "base/FileUtils.h"
#include "registry/RegistryKey.h"
#include "base/StrUtils.h"
#include "base/mcCMLog.h"
#include "registry/mcCMUtils.h"
#include "base/mcExc.h"
#include "xml/miXMLDOMDocument.h"
#include "xml/miXMLDOMElement.h"
#include "manifest/ZRVersion.h"
#include "net/mcHttpFetcher.h"
#include "net/ServerHosts.h"
#include "net/mcConnectionCheck.h"
#include "net/mcQoSEvent.h"

namespace {

constexpr const char* kName = "name";
constexpr const char* kVersion = "version";
constexpr const char* kURL = "URL";

constexpr const char* kLogLoadDirectoryFailed = "Failed to load manifest directory";
constexpr const char* kLogNameMissing = "name attribute missing for manifest, ";
constexpr const char* kLogVersionMissing = "version attribute missing for manifest, ";
constexpr const char* kLogUrlMissing = "URL Node missing for manifest, ";
constexpr const char* kLogInvalidName = "mcManifestDir, invalid manifest name : ";
constexpr const char* kLogUpToDate = "Manifest file up to date : ";
constexpr const char* kLogGetDirUrlFailed = "mcManifestDir::PrvGetDirUrl Failed";
constexpr const char* kLogConnectionCheckFailed = "mcManifestDir::UpdateToNewVersion, connection check failed";
constexpr const char* kLogUpdateComplete = "mcManifestDir::UpdateToNewVersion update complete";
constexpr const char* kLogCandidateWriteFailed = "mcManifestDir, could not write candidate file : ";

constexpr const char* kInfoNoDirUrl = "Failed to contact process.cgi";
constexpr const char* kInfoDirDownloadFailed = "Dowload of Manifest directory failed";
constexpr const char* kInfoDirLoadFailed = "Failed to load updated manifest directory";
constexpr const char* kInfoManifestDownloadFailed = "Dowload of Manifest file failed";
constexpr const char* kInfoManifestLoadFailed = "Failed to load updated manifest file";
constexpr const char* kInfoManifestRollback = "Downloaded manifest is older than the one in force : ";
constexpr const char* kLogManifestRollback = "Manifest rollback refused : ";
constexpr const char* kInfoCopyFailed = "File Copy Failed ";
constexpr const char* kInfoCopyTo = " To ";

constexpr const char* kDateHeader = "Date: ";

// Largest interval (days) used in date arithmetic; larger values mean "never"
// for any clock this program will see, and keep the arithmetic in range.
constexpr std::int32_t kMaxIntervalDays = 3650000;

// A name that, with a suffix, names a file directly inside the application
// folder: not empty, not "." or "..", no "/" and no NUL. The directory is not
// signed, so its names are checked before they become paths.
bool IsSafeManifestName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string CopyFailedText(const std::string& from, const std::string& to) {
    return kInfoCopyFailed + from + kInfoCopyTo + to;
}

// Copies from over to so that to is either the old file or the complete new
// one at any moment; from is read without blocking and only when regular.
bool CopyFileAtomic(const std::string& from, const std::string& to) { return mfCopyFileAtomic(from, to); }

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

bool ParseDecimal(const std::string& text, int& value) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && ptr == text.data() + text.size();
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// "M-D-Y" as SetLastDirUpdate writes it: exactly three decimal fields forming
// a calendar date.
bool ParseLastDirUpdate(const std::string& text, int& month, int& day, int& year) {
    const std::size_t d1 = text.find('-');
    if (d1 == std::string::npos) return false;
    const std::size_t d2 = text.find('-', d1 + 1);
    if (d2 == std::string::npos || text.find('-', d2 + 1) != std::string::npos) return false;
    if (!ParseDecimal(text.substr(0, d1), month) || !ParseDecimal(text.substr(d1 + 1, d2 - d1 - 1), day) ||
        !ParseDecimal(text.substr(d2 + 1), year))
        return false;
    return year >= 1900 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
           day <= DaysInMonth(year, month);
}

// Local midnight of the given date plus nDays days (DST-correct).
bool LocalMidnight(int year, int month, int day, std::int32_t nDays, std::time_t& out) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day + nDays;
    tm.tm_isdst = -1;
    out = std::mktime(&tm);
    return out != static_cast<std::time_t>(-1);
}

}  // namespace

mcManifestDir::mcManifestDir(IManifestDirOwner* pOwner) : mcManifestDir(pOwner, Config{}) {}

mcManifestDir::mcManifestDir(IManifestDirOwner* pOwner, Config config)
    : m_pOwner(pOwner), m_config(std::move(config)) {
    if (m_config.strAppFolder.empty()) m_config.strAppFolder = mcCMUtils::GetAppPath();
    if (!m_config.pFetcher) m_config.pFetcher = mcHttpFetcher::Shared();
    LoadDirectory(GetDirectoryPath());
    if (IsLoaded())
        LoadManifests();
    else if (!m_config.bDeferFirstUpdate)
        UpdateToNewVersion(true);
}

mcManifestDir::~mcManifestDir() {
    mnThread::WriteGuard guard(m_lock);
    m_mapManifests.clear();
    m_pDirectory.reset();
}

std::string mcManifestDir::GetDirectoryPath() const {
    return mfPathJoin(m_config.strAppFolder, kDirectoryFileName);
}

std::string mcManifestDir::GetCandidatePath() const {
    return mfPathJoin(m_config.strAppFolder, kCandidateFileName);
}

mcManifestDir::Clock::time_point mcManifestDir::PrvNow() const {
    return m_config.fnNow ? m_config.fnNow() : Clock::now();
}

bool mcManifestDir::IsLoaded() const {
    mnThread::ReadGuard guard(m_lock);
    return m_pDirectory != nullptr;
}

std::shared_ptr<const mcManifestDir::msDirectory> mcManifestDir::PrvDirectory() const {
    mnThread::ReadGuard guard(m_lock);
    return m_pDirectory;
}

std::shared_ptr<const mcComponentManifest> mcManifestDir::GetManifest(const std::string& strName) const {
    mnThread::ReadGuard guard(m_lock);
    if (!m_pDirectory) return nullptr;
    auto it = m_mapManifests.find(strName);
    return it == m_mapManifests.end() ? nullptr : it->second;
}

std::int32_t mcManifestDir::GetInterval() const {
    const auto pDirectory = PrvDirectory();
    return pDirectory ? pDirectory->nInterval : kDefaultInterval;
}

// ---- Loading ---------------------------------------------------------------

std::shared_ptr<const mcManifestDir::msDirectory> mcManifestDir::PrvParseDirectory(
    const std::string& strPath) const {
    try {
        miXMLDOMDocument document;
        document.SetAsync(false);
        document.SetValidateOnParse(true);
        document.SetAttributeLimits(mcXmlAttributeLimits::ManifestDirectory());
        struct stat st;
        if (::stat(strPath.c_str(), &st) == 0 && st.st_size > static_cast<off_t>(kMaxDirectoryBytes)) {
            mfCMLog(kLogLoadDirectoryFailed);
            mfCMLog("Manifest directory larger than " + std::to_string(kMaxDirectoryBytes) + " bytes : " + strPath);
            return nullptr;
        }
        document.load(strPath);
        const miXMLDOMElement root = document.GetDocumentElement();

        auto pDirectory = std::make_shared<msDirectory>();
        try {
            pDirectory->nInterval = root.GetAttributeInt(kIntervalAttribute);
        } catch (const mcExc&) {
            pDirectory->nInterval = kDefaultInterval;  // absent or not a number
        }
        auto read = [&root](const char* tag, std::vector<Entry>& out) {
            for (const miXMLDOMElement& element : root.GetElementsByTagName(tag)) {
                Entry entry;
                entry.strTag = element.GetTagName();
                entry.bHasName = element.FindAttributeText(kName, &entry.strName);
                entry.bHasVersion = element.FindAttributeText(kVersion, &entry.strVersion);
                entry.bHasUrl = element.FindChildElementText(kURL, &entry.strUrl);
                out.push_back(std::move(entry));
            }
        };
        read(kManifestTag, pDirectory->vecManifests);
        read(kOverrideTag, pDirectory->vecOverrides);
        return pDirectory;
    } catch (const mcExc& e) {
        mfCMLog(kLogLoadDirectoryFailed);
        mfCMLog(e.GetTraceLine());
        return nullptr;
    }
}

void mcManifestDir::LoadDirectory(const std::string& strPath) {
    auto pDirectory = PrvParseDirectory(strPath);
    mnThread::WriteGuard guard(m_lock);
    m_pDirectory = std::move(pDirectory);
}

void mcManifestDir::LoadManifests() {
    const auto pDirectory = PrvDirectory();
    if (!pDirectory) return;
    const auto pTrust = PrvTrustPolicy();
    for (const auto* pList : {&pDirectory->vecManifests, &pDirectory->vecOverrides}) {
        for (const Entry& entry : *pList) {
            if (entry.bHasName)
                PrvLoadManifest(entry.strName, pTrust);
            else
                mfCMLog(kLogNameMissing + entry.strTag);
        }
    }
}

std::shared_ptr<const msTrustPolicy> mcManifestDir::PrvTrustPolicy() const {
    if (m_config.fnTrustPolicy) return m_config.fnTrustPolicy();
    return msTrustPolicy::FromRegistry(m_config.strPublicKeyHex);
}

void mcManifestDir::LoadManifest(const std::string& strName) {
    if (!IsLoaded()) return;
    PrvLoadManifest(strName, PrvTrustPolicy());
}

void mcManifestDir::PrvLoadManifest(const std::string& strName, const std::shared_ptr<const msTrustPolicy>& pTrust) {
    if (!IsLoaded()) return;
    if (!IsSafeManifestName(strName)) {
        mfCMLog(kLogInvalidName + strName);
        return;
    }
    auto pManifest = std::make_shared<const mcComponentManifest>(msManifestFile{
        mcComponentManifest::PathFor(m_config.strAppFolder, strName, false), m_config.strPublicKeyHex, pTrust});
    if (!pManifest->IsLoaded()) return;
    mnThread::WriteGuard guard(m_lock);
    m_mapManifests[strName] = std::move(pManifest);
}

// ---- Due date --------------------------------------------------------------

bool mcManifestDir::IsUpdateDue() const {
    std::string strLast;
    try {
        core::registry::RegistryKey key(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey,
                                        core::registry::KEY_READ);
        strLast = key.GetValueString(kLastDirUpdateValue);
    } catch (const std::exception&) {
        return true;
    }
    int nMonth = 0, nDay = 0, nYear = 0;
    if (strLast.empty() || !ParseLastDirUpdate(strLast, nMonth, nDay, nYear)) return true;

    const std::int32_t nInterval =
        std::clamp<std::int32_t>(GetInterval(), -kMaxIntervalDays, kMaxIntervalDays);
    std::time_t tLast = 0, tDue = 0;
    if (!LocalMidnight(nYear, nMonth, nDay, 0, tLast) || !LocalMidnight(nYear, nMonth, nDay, nInterval, tDue))
        return true;
    const Clock::time_point now = PrvNow();
    // A date after today was stored under a wrong clock; waiting for it could
    // stop updates for years.
    if (Clock::from_time_t(tLast) > now) return true;
    return now >= Clock::from_time_t(tDue);
}

bool mcManifestDir::SetLastDirUpdate() {
    const std::time_t tNow = Clock::to_time_t(PrvNow());
    std::tm tm{};
    if (::localtime_r(&tNow, &tm) == nullptr) return false;
    const std::string strDate = std::to_string(tm.tm_mon + 1) + "-" + std::to_string(tm.tm_mday) + "-" +
                                std::to_string(tm.tm_year + 1900);
    try {
        core::registry::RegistryKey root(mcCMUtils::kRegistryRoot, "");
        root.CreateSubKey(mcCMUtils::kRegistryKey).SetValueString(kLastDirUpdateValue, strDate);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// ---- Updates ---------------------------------------------------------------

bool mcManifestDir::PrvGetDirUrl(std::string& strOut) {
    if (!m_strDirUrl.empty()) {
        strOut = m_strDirUrl;
        return true;
    }
    try {
        core::registry::RegistryKey key(mcCMUtils::kRegistryRoot, mcCMUtils::kRegistryKey,
                                        core::registry::KEY_READ);
        std::string strUrl = mfStrTrim(key.GetValueString(kManifestDirUrlValue));
        // An empty value names nothing; the redirect service still can.
        if (!strUrl.empty()) {
            m_strDirUrl = strUrl;
            strOut = std::move(strUrl);
            return true;
        }
    } catch (const std::exception&) {
        // No key or value (or a registry failure): ask the redirect service.
    }
    const std::string strHost = mfGetServerHost(kRedirectServerValue);
    std::string strText;
    if (!strHost.empty() && m_config.pFetcher->GetString("http://" + strHost + kRedirectPath, &strText)) {
        strText = mfStrTrimRight(strText);
        m_strDirUrl = strText;
        if (!strText.empty()) {
            strOut = std::move(strText);
            return true;
        }
    }
    mfCMLog(kLogGetDirUrlFailed);
    return false;
}

bool mcManifestDir::PrvDownload(const std::string& strUrl, std::vector<std::uint8_t>& bytes, std::uint64_t nMaxBytes) {
    mcHttpTransactionOptions options;
    options.nMaxBodyBytes = nMaxBytes;
    options.dwConnectTimeout = kDownloadTimeout;
    options.dwOpenTimeout = kDownloadTimeout;
    options.dwTransferTimeout = kDownloadTimeout;
    options.strAgent = mcHttpTransactionOptions::kDefaultAgent;
    options.dwRequestFlags = mcHttpTransactionOptions::kDefaultFlags;
    const std::string strHeaders = kDateHeader + mcCMUtils::GetHttpDate();
    bytes.clear();
    return m_config.pFetcher->Get(strUrl, &bytes, &options, nullptr, &strHeaders) && !bytes.empty();
}

bool mcManifestDir::PrvWriteCandidate(const std::string& strPath, const std::vector<std::uint8_t>& bytes) const {
    mfCreateDirectories(m_config.strAppFolder);
    if (mfWriteFileAtomic(strPath, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())))
        return true;
    mfCMLog(kLogCandidateWriteFailed + strPath);
    return false;
}

void mcManifestDir::PrvHandOver(const std::vector<std::string>& vecReplaced,
                                std::vector<std::string>* pvecReplaced) {
    if (pvecReplaced) pvecReplaced->insert(pvecReplaced->end(), vecReplaced.begin(), vecReplaced.end());
    if (m_pOwner == nullptr) return;
    for (const std::string& strName : vecReplaced) {
        try {
            m_pOwner->NotifyManifestUpdated(strName);
        } catch (...) {
            // The owner's answer does not matter here.
        }
    }
}

bool mcManifestDir::UpdateToNewVersion(bool bForce, std::vector<std::string>* pvecReplaced) {
    std::vector<std::string> vecReplaced;
    bool bResult = false;
    {
        std::lock_guard<std::mutex> lock(m_updateMutex);
        bResult = PrvUpdateToNewVersion(bForce, vecReplaced);
    }
    PrvHandOver(vecReplaced, pvecReplaced);
    return bResult;
}

bool mcManifestDir::PrvUpdateToNewVersion(bool bForce, std::vector<std::string>& vecReplaced) {
    if (!bForce && !IsUpdateDue()) return true;

    const bool bOnline =
        m_config.fnConnectionCheck ? m_config.fnConnectionCheck() : ::ConnectionCheck(m_config.pFetcher.get());
    if (!bOnline) {
        mfCMLog(kLogConnectionCheckFailed);
        return false;
    }

    const std::string strDirectory = GetDirectoryPath();
    const std::string strCandidate = GetCandidatePath();
    mcQoSEvent event{"", kQoSClientCM, kCandidateFileName, "", ""};

    std::string strUrl;
    if (!PrvGetDirUrl(strUrl)) {
        event.strEvent = kQoSManifestDownloadFailure;
        event.strAdditionalInfo = kInfoNoDirUrl;
        SendQoSEvent(event, *m_config.pFetcher);
        return false;
    }

    std::vector<std::uint8_t> bytes;
    if (!PrvDownload(strUrl, bytes, kMaxDirectoryBytes)) {
        event.strEvent = kQoSManifestDownloadFailure;
        event.strAdditionalInfo = kInfoDirDownloadFailed;
        SendQoSEvent(event, *m_config.pFetcher);
        return false;
    }

    // The candidate is parsed on its own and put in force only once it has
    // replaced the file in force, so readers never see a gap or a directory
    // that is not on disk.
    std::shared_ptr<const msDirectory> pCandidate;
    if (PrvWriteCandidate(strCandidate, bytes)) pCandidate = PrvParseDirectory(strCandidate);

    if (pCandidate) {
        if (CopyFileAtomic(strCandidate, strDirectory)) {
            RemoveFile(strCandidate);
            event.strEvent = kQoSManifestDownloadSuccess;
            {
                mnThread::WriteGuard guard(m_lock);
                m_pDirectory = std::move(pCandidate);
            }
            LoadManifests();
            PrvUpdateManifests(vecReplaced);
            SetLastDirUpdate();
        } else {
            event.strAdditionalInfo = CopyFailedText(strCandidate, strDirectory);
            mfCMLog(event.strAdditionalInfo);
            event.strEvent = kQoSManifestDownloadFailure;
            // The directory in force stays as it was.
        }
    } else {
        event.strAdditionalInfo = kInfoDirLoadFailed;
        event.strEvent = kQoSManifestDownloadFailure;
    }

    SendQoSEvent(event, *m_config.pFetcher);
    mfCMLog(kLogUpdateComplete);
    return true;
}

void mcManifestDir::UpdateManifests(std::vector<std::string>* pvecReplaced) {
    std::vector<std::string> vecReplaced;
    {
        std::lock_guard<std::mutex> lock(m_updateMutex);
        PrvUpdateManifests(vecReplaced);
    }
    PrvHandOver(vecReplaced, pvecReplaced);
}

void mcManifestDir::PrvUpdateManifests(std::vector<std::string>& vecReplaced) {
    const auto pDirectory = PrvDirectory();
    if (!pDirectory) return;
    for (const Entry& entry : pDirectory->vecOverrides) PrvUpdateManifest(entry, vecReplaced);
    for (const Entry& entry : pDirectory->vecManifests) {
        bool bOverridden = false;
        if (entry.bHasName) {
            for (const Entry& over : pDirectory->vecOverrides) {
                if (over.bHasName && over.strName == entry.strName) {
                    bOverridden = true;
                    break;
                }
            }
        }
        if (!bOverridden) PrvUpdateManifest(entry, vecReplaced);
    }
}

void mcManifestDir::UpdateManifest(const Entry& entry, std::vector<std::string>* pvecReplaced) {
    std::vector<std::string> vecReplaced;
    {
        std::lock_guard<std::mutex> lock(m_updateMutex);
        PrvUpdateManifest(entry, vecReplaced);
    }
    PrvHandOver(vecReplaced, pvecReplaced);
}

void mcManifestDir::PrvUpdateManifest(const Entry& entry, std::vector<std::string>& vecReplaced) {
    if (!entry.bHasName) {
        mfCMLog(kLogNameMissing + entry.strTag);
        return;
    }
    if (!entry.bHasVersion) {
        mfCMLog(kLogVersionMissing + entry.strTag);
        return;
    }
    if (!entry.bHasUrl) {
        mfCMLog(kLogUrlMissing + entry.strTag);
        return;
    }
    const std::string& strName = entry.strName;
    if (!IsSafeManifestName(strName)) {
        mfCMLog(kLogInvalidName + strName);
        return;
    }

    const auto pCurrent = GetManifest(strName);
    if (pCurrent) {
        const std::string strCurrentVersion = pCurrent->GetVersion();
        if (mfStrCompareZRVersions(entry.strVersion, strCurrentVersion) != 1) {
            mfCMLog(kLogUpToDate + strName + " : " + strCurrentVersion);
            return;
        }
    }

    mcQoSEvent event{kQoSManifestDownloadSuccess, kQoSClientCM, strName + mcComponentManifest::kCandidateSuffix,
                     entry.strVersion, ""};
    const std::string strCandidate = mcComponentManifest::PathFor(m_config.strAppFolder, strName, true);

    std::vector<std::uint8_t> bytes;
    if (!PrvDownload(entry.strUrl, bytes)) {
        event.strEvent = kQoSManifestDownloadFailure;
        event.strAdditionalInfo = kInfoManifestDownloadFailed;
    } else {
        bool bLoaded = false;
        bool bRollback = false;
        const auto pTrust = PrvTrustPolicy();
        if (PrvWriteCandidate(strCandidate, bytes)) {
            const mcComponentManifest candidate(msManifestFile{strCandidate, m_config.strPublicKeyHex, pTrust});
            bLoaded = candidate.IsLoaded();
            // The directory is unsigned: only the signed manifest's own version
            // tells whether this would move the component back.
            if (bLoaded && pCurrent &&
                mfStrCompareZRVersions(candidate.GetVersion(), pCurrent->GetVersion()) == -1) {
                bRollback = true;
                event.strEvent = kQoSManifestDownloadFailure;
                event.strAdditionalInfo = kInfoManifestRollback + candidate.GetVersion() + " < " +
                                          pCurrent->GetVersion();
                mfCMLog(kLogManifestRollback + strName + " : " + event.strAdditionalInfo);
            }
        }
        if (bRollback) {
            // The manifest in force stays.
        } else if (bLoaded) {
            const std::string strTarget = mcComponentManifest::PathFor(m_config.strAppFolder, strName, false);
            if (!CopyFileAtomic(strCandidate, strTarget)) {
                event.strEvent = kQoSManifestDownloadFailure;
                event.strAdditionalInfo = CopyFailedText(strCandidate, strTarget);
                mfCMLog(event.strAdditionalInfo);
            }
            PrvLoadManifest(strName, pTrust);
            // The owner hears of it once the update mutex is released.
            vecReplaced.push_back(strName);
        } else {
            event.strEvent = kQoSManifestDownloadFailure;
            event.strAdditionalInfo = kInfoManifestLoadFailed;
        }
        RemoveFile(strCandidate);
    }
    SendQoSEvent(event, *m_config.pFetcher);
}
