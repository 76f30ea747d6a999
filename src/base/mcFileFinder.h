#pragma once
// Walks the entries of one directory, or of a whole tree, whose names fit a
// wildcard pattern.
//
//   mcFileFinder finder;
//   for (bool b = finder.Find("/var/x/*.zrz", mcFileFinder::kFilesOnly, true); b; b = finder.FindNext())
//       use(finder.GetFilePath());
//
// Patterns: "*" matches any run of characters (also none, also a leading "."),
// "?" exactly one character; everything else matches itself, case-sensitively
// (file names on Linux are). "*.*" matches every name, with or without a dot.
//
// Entries are typed without following symbolic links: a link is never a
// directory here, so recursion never leaves the tree or loops, and a tree
// delete removes links rather than what they point to. Within one directory
// entries come in byte order of their names; with recursion the directories
// are searched depth-first, parent before children. A directory that cannot be
// read is skipped. Each directory is read when the search reaches it.
//
// One object is used by one thread at a time. Nothing throws except
// std::bad_alloc.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class mcFileFinder {
public:
    // What Find reports.
    static constexpr int kFilesOnly = 0;           // no directories at all
    static constexpr int kDirectoriesOnly = 1;     // "." and ".." skipped
    static constexpr int kFilesAndDirectories = 2; // "." and ".." skipped

    mcFileFinder() = default;
    ~mcFileFinder() = default;
    mcFileFinder(const mcFileFinder&) = delete;
    mcFileFinder& operator=(const mcFileFinder&) = delete;

    // Starts a new search (forgetting any previous one). pattern is a directory
    // and a name pattern ("dir/*.xml"); without a directory part the current
    // working directory is searched. With recursive, every directory below it
    // is searched too, with the same name pattern. Returns false when no entry
    // fits; otherwise the current entry is the first one that does.
    bool Find(std::string_view pattern, int mode = kFilesOnly, bool recursive = false);

    // Moves to the next fitting entry; false when there is none (the search is
    // then over, as after Close).
    bool FindNext();

    // The current entry: its directory + "/" (unless the directory already ends
    // with one) + its name. "" when there is no current entry.
    std::string GetFilePath() const;
    const std::string& GetFileName() const { return m_strName; }
    const std::string& GetDirectory() const { return m_strDirectory; }
    bool IsDirectory() const { return m_bIsDirectory; }
    bool IsDots() const { return m_strName == "." || m_strName == ".."; }

    // Ends the search and forgets all state.
    void Close();

    // The wildcard match used by Find (exposed for tests).
    static bool MatchesPattern(std::string_view name, std::string_view pattern);

private:
    struct mcEntry {
        std::string name;
        bool isDirectory;
    };

    bool PrvOpenDirectory(std::size_t index);
    bool PrvAdvance();
    bool PrvFits(const mcEntry& entry) const;
    static std::vector<mcEntry> PrvReadDirectory(const std::string& directory);
    void PrvCollectSubdirectories(const std::string& root);

    std::vector<std::string> m_vecDirectories;  // still to search, in order
    std::size_t m_nDirectoryIndex = 0;
    std::vector<mcEntry> m_vecEntries;          // of the directory being searched
    std::size_t m_nEntryIndex = 0;
    std::string m_strDirectory;
    std::string m_strPattern;
    std::string m_strName;
    bool m_bIsDirectory = false;
    bool m_bOpen = false;
    int m_nMode = kFilesOnly;
};
