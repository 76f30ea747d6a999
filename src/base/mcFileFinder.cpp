#include "base/mcFileFinder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "base/StrConv.h"
#include "base/StrUtils.h"

namespace {

constexpr std::string_view kMatchAll = "*.*";

struct PrvDirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

std::string PrvCurrentDirectory() {
    std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
    return cwd ? std::string(cwd.get()) : std::string(".");
}

// Skips one character (one UTF-8 sequence, or one byte when invalid).
std::size_t PrvNextChar(std::string_view text, std::size_t pos) {
    char32_t cp = 0;
    mfUtf8Decode(text, pos, cp);
    return pos;
}

}  // namespace

bool mcFileFinder::MatchesPattern(std::string_view name, std::string_view pattern) {
    if (pattern == kMatchAll) return true;
    // Greedy match with a single back-tracking point (the last "*"): linear in
    // practice, never exponential.
    std::size_t n = 0;
    std::size_t p = 0;
    std::size_t starP = std::string_view::npos;
    std::size_t starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            n = PrvNextChar(name, n);
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            starN = PrvNextChar(name, starN);
            n = starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::vector<mcFileFinder::mcEntry> mcFileFinder::PrvReadDirectory(const std::string& directory) {
    std::vector<mcEntry> entries;
    std::unique_ptr<DIR, PrvDirCloser> dir(opendir(directory.c_str()));
    if (!dir) return entries;
    const int fd = dirfd(dir.get());
    while (const dirent* entry = readdir(dir.get())) {
        bool bIsDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            bIsDirectory = fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        entries.push_back({entry->d_name, bIsDirectory});
    }
    std::sort(entries.begin(), entries.end(), [](const mcEntry& a, const mcEntry& b) { return a.name < b.name; });
    return entries;
}

void mcFileFinder::PrvCollectSubdirectories(const std::string& root) {
    // Depth-first, parent before children, children in name order; an explicit
    // stack so that deep trees cannot exhaust the call stack.
    std::vector<std::string> stack{root};
    while (!stack.empty()) {
        std::string directory = std::move(stack.back());
        stack.pop_back();
        const std::vector<mcEntry> entries = PrvReadDirectory(directory);
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            if (it->isDirectory && it->name != "." && it->name != "..") {
                stack.push_back(mfPathJoin(directory, it->name));
            }
        }
        m_vecDirectories.push_back(std::move(directory));
    }
}

bool mcFileFinder::Find(std::string_view pattern, int mode, bool recursive) {
    Close();
    const std::size_t slash = pattern.rfind(kPathSeparator);
    std::string strDirectory;
    if (slash == std::string_view::npos) {
        strDirectory = PrvCurrentDirectory();
        m_strPattern = std::string(pattern);
    } else {
        strDirectory = slash == 0 ? std::string(1, kPathSeparator) : std::string(pattern.substr(0, slash));
        m_strPattern = std::string(pattern.substr(slash + 1));
    }
    m_nMode = mode;
    m_bOpen = true;
    if (recursive) {
        PrvCollectSubdirectories(strDirectory);
    } else {
        m_vecDirectories.push_back(std::move(strDirectory));
    }
    if (!PrvOpenDirectory(0) || !PrvAdvance()) {
        Close();
        return false;
    }
    return true;
}

bool mcFileFinder::FindNext() {
    if (!m_bOpen) return false;
    if (!PrvAdvance()) {
        Close();
        return false;
    }
    return true;
}

bool mcFileFinder::PrvOpenDirectory(std::size_t index) {
    if (index >= m_vecDirectories.size()) return false;
    m_nDirectoryIndex = index;
    m_strDirectory = m_vecDirectories[index];
    m_vecEntries = PrvReadDirectory(m_strDirectory);
    m_nEntryIndex = 0;
    return true;
}

bool mcFileFinder::PrvFits(const mcEntry& entry) const {
    if (m_nMode == kFilesOnly && entry.isDirectory) return false;
    if (m_nMode == kDirectoriesOnly && !entry.isDirectory) return false;
    if (entry.name == "." || entry.name == "..") return false;
    return MatchesPattern(entry.name, m_strPattern);
}

bool mcFileFinder::PrvAdvance() {
    for (;;) {
        while (m_nEntryIndex < m_vecEntries.size()) {
            const mcEntry& entry = m_vecEntries[m_nEntryIndex++];
            if (PrvFits(entry)) {
                m_strName = entry.name;
                m_bIsDirectory = entry.isDirectory;
                return true;
            }
        }
        if (!PrvOpenDirectory(m_nDirectoryIndex + 1)) {
            m_strName.clear();
            m_bIsDirectory = false;
            return false;
        }
    }
}

std::string mcFileFinder::GetFilePath() const {
    if (m_strName.empty()) return {};
    std::string path = m_strDirectory;
    if (path.empty() || path.back() != kPathSeparator) path.push_back(kPathSeparator);
    path += m_strName;
    return path;
}

void mcFileFinder::Close() {
    m_vecDirectories.clear();
    m_nDirectoryIndex = 0;
    m_vecEntries.clear();
    m_nEntryIndex = 0;
    m_strDirectory.clear();
    m_strPattern.clear();
    m_strName.clear();
    m_bIsDirectory = false;
    m_bOpen = false;
    m_nMode = kFilesOnly;
}
