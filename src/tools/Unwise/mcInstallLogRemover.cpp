#include "tools/Unwise/mcInstallLogRemover.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kMissing = -2;

std::string PrvJoinParts(const std::string& strRoot, const std::vector<std::string>& vecParts, std::size_t nCount) {
    std::string strPath = strRoot == "/" ? std::string() : strRoot;
    for (std::size_t i = 0; i < nCount; ++i) strPath += "/" + vecParts[i];
    return strPath.empty() ? std::string("/") : strPath;
}

}  // namespace

mcInstallLogRemover::mcInstallLogRemover(std::string strPrefix, std::string strAppFolder, std::ostream& messages)
    : m_messages(messages) {
    for (std::string* pRoot : {&strPrefix, &strAppFolder}) {
        std::vector<std::string> vecParts;
        if (!SplitAbsolute(*pRoot, vecParts)) continue;
        m_vecRoots.push_back(PrvJoinParts("/", vecParts, vecParts.size()));
        m_vecRootParts.push_back(std::move(vecParts));
    }
}

bool mcInstallLogRemover::SplitAbsolute(const std::string& strPath, std::vector<std::string>& vecParts) {
    vecParts.clear();
    if (strPath.empty() || strPath.front() != '/') return false;
    std::size_t nStart = 1;
    while (nStart <= strPath.size()) {
        std::size_t nEnd = strPath.find('/', nStart);
        if (nEnd == std::string::npos) nEnd = strPath.size();
        std::string strPart = strPath.substr(nStart, nEnd - nStart);
        if (strPart == "." || strPart == "..") return false;
        if (!strPart.empty()) vecParts.push_back(std::move(strPart));
        nStart = nEnd + 1;
    }
    return true;
}

void mcInstallLogRemover::PrvRefuse(const std::string& strPath, const std::string& strWhy) {
    ++m_nRefused;
    m_messages << "Unwise: skipped " << strPath << ": " << strWhy << "\n";
}

void mcInstallLogRemover::PrvFail(const std::string& strPath, const std::string& strWhy) {
    ++m_nFailures;
    m_messages << "Unwise: cannot remove " << strPath << ": " << strWhy << "\n";
}

bool mcInstallLogRemover::PrvLocate(const std::string& strPath, PrvTarget& target) {
    std::vector<std::string> vecParts;
    if (!SplitAbsolute(strPath, vecParts)) {
        PrvRefuse(strPath, "not an absolute path without \".\" and \"..\"");
        return false;
    }
    // The prefix comes first, so that folders between it and the application
    // folder count as the install's too.
    for (std::size_t i = 0; i < m_vecRoots.size(); ++i) {
        const std::vector<std::string>& vecRoot = m_vecRootParts[i];
        if (vecParts.size() <= vecRoot.size() || !std::equal(vecRoot.begin(), vecRoot.end(), vecParts.begin())) {
            continue;
        }
        target.strRoot = m_vecRoots[i];
        target.vecBelow.assign(vecParts.begin() + static_cast<std::ptrdiff_t>(vecRoot.size()), vecParts.end());
        return true;
    }
    PrvRefuse(strPath, "outside the install");
    return false;
}

int mcInstallLogRemover::PrvOpenParent(const PrvTarget& target, const std::string& strPath) {
    int fd = ::open(target.strRoot.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return kMissing;
        PrvFail(strPath, std::string("cannot open ") + target.strRoot + ": " + std::strerror(errno));
        return -1;
    }
    for (std::size_t i = 0; i + 1 < target.vecBelow.size(); ++i) {
        const std::string& strName = target.vecBelow[i];
        const int fdNext = ::openat(fd, strName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int nErr = errno;
        if (fdNext >= 0) {
            ::close(fd);
            fd = fdNext;
            continue;
        }
        struct stat st {};
        const bool bLink = ::fstatat(fd, strName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
        ::close(fd);
        if (bLink) {
            PrvRefuse(strPath, "its folder " + PrvJoinParts(target.strRoot, target.vecBelow, i + 1) +
                                   " is a symbolic link");
            return -1;
        }
        if (nErr == ENOENT) return kMissing;
        if (nErr == ENOTDIR) {
            PrvRefuse(strPath, PrvJoinParts(target.strRoot, target.vecBelow, i + 1) + " is not a folder");
            return -1;
        }
        PrvFail(strPath, std::strerror(nErr));
        return -1;
    }
    return fd;
}

bool mcInstallLogRemover::Remove(const std::string& strPath) {
    PrvTarget target;
    if (!PrvLocate(strPath, target)) return false;
    const int fd = PrvOpenParent(target, strPath);
    if (fd == kMissing) return true;
    if (fd < 0) return false;
    const std::string& strName = target.vecBelow.back();
    struct stat st {};
    bool bOk = true;
    if (::fstatat(fd, strName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            PrvFail(strPath, std::strerror(errno));
            bOk = false;
        }
    } else if (::unlinkat(fd, strName.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT) {
        PrvFail(strPath, std::strerror(errno));
        bOk = false;
    }
    ::close(fd);
    if (bOk) {
        const std::size_t nRoot = static_cast<std::size_t>(
            std::find(m_vecRoots.begin(), m_vecRoots.end(), target.strRoot) - m_vecRoots.begin());
        std::vector<std::string> vecFolder = target.vecBelow;
        for (vecFolder.pop_back(); !vecFolder.empty(); vecFolder.pop_back()) m_setFolders.insert({nRoot, vecFolder});
    }
    return bOk;
}

bool mcInstallLogRemover::RemoveEmptyFolders() {
    std::vector<std::pair<std::size_t, std::vector<std::string>>> vecFolders(m_setFolders.begin(), m_setFolders.end());
    std::stable_sort(vecFolders.begin(), vecFolders.end(),
                     [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
    bool bOk = true;
    for (const auto& [nRoot, vecBelow] : vecFolders) {
        PrvTarget target{m_vecRoots[nRoot], vecBelow};
        const std::string strPath = PrvJoinParts(target.strRoot, vecBelow, vecBelow.size());
        const int fd = PrvOpenParent(target, strPath);
        if (fd == kMissing) continue;
        if (fd < 0) {
            bOk = false;
            continue;
        }
        if (::unlinkat(fd, vecBelow.back().c_str(), AT_REMOVEDIR) != 0 && errno != ENOTEMPTY && errno != EEXIST &&
            errno != ENOENT) {
            // A symbolic link in the folder's place is not ours to remove.
            if (errno == ENOTDIR) {
                PrvRefuse(strPath, "not a folder");
            } else {
                PrvFail(strPath, std::strerror(errno));
            }
            bOk = false;
        }
        ::close(fd);
    }
    m_setFolders.clear();
    return bOk;
}
