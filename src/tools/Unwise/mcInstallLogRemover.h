#pragma once
// mcInstallLogRemover: removes what an install put in place, as its install
// log lists it, without ever leaving the install's own folders.
//
// Only paths strictly below one of the roots (the install prefix and the
// application folder, both absolute paths without symbolic links) are
// touched. A path that is relative, holds "." or "..", lies outside the roots
// or reaches its file through a symbolic link is skipped with a line on the
// message stream. Every folder on the way is opened relative to the one
// before with O_NOFOLLOW, and the entry itself is removed with unlinkat, so a
// symbolic link anywhere is never followed: a listed link is removed itself,
// its target stays. Entries already gone count as removed.
//
// Folders that held removed entries and are empty afterwards are removed by
// RemoveEmptyFolders, deepest first, up to but never including the prefix.
//
// Threads: one. Never throws except std::bad_alloc.
#include <ostream>
#include <set>
#include <string>
#include <vector>

class mcInstallLogRemover {
public:
    // strPrefix, strAppFolder: absolute, canonical (no symbolic links, no
    // trailing "/").
    mcInstallLogRemover(std::string strPrefix, std::string strAppFolder, std::ostream& messages);

    // Removes one listed entry: a file, a symbolic link or an empty folder.
    // False when it was skipped or could not be removed (said on the stream).
    bool Remove(const std::string& strPath);

    // Removes the folders emptied by Remove; folders that are not empty stay
    // silently. False when one could not be removed for another reason.
    bool RemoveEmptyFolders();

    // Failed removals so far (not counting refused paths).
    int FailureCount() const { return m_nFailures; }
    int RefusedCount() const { return m_nRefused; }

    // The components of an absolute path ("" components dropped); false for a
    // relative path or one holding "." or "..".
    static bool SplitAbsolute(const std::string& strPath, std::vector<std::string>& vecParts);

private:
    struct PrvTarget {
        std::string strRoot;
        std::vector<std::string> vecBelow;  // components below the root, at least one
    };

    bool PrvLocate(const std::string& strPath, PrvTarget& target);
    // Opens the folder holding the last component: its descriptor; -2
    // without a word when a folder on the way is missing; -1 with the reason
    // on the stream.
    int PrvOpenParent(const PrvTarget& target, const std::string& strPath);
    void PrvRefuse(const std::string& strPath, const std::string& strWhy);
    void PrvFail(const std::string& strPath, const std::string& strWhy);

    std::vector<std::vector<std::string>> m_vecRootParts;
    std::vector<std::string> m_vecRoots;  // prefix first
    std::ostream& m_messages;
    // Folders that held removed entries: root index and components below it.
    std::set<std::pair<std::size_t, std::vector<std::string>>> m_setFolders;
    int m_nFailures = 0;
    int m_nRefused = 0;
};
