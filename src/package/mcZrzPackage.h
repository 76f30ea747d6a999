#pragma once
// mcZrzPackage: the ".zrz" component package. A package is an archive that
// holds "zrz.xml" at its root and the files to install below "files/":
//
//   zrz.xml   <Package component="NAME" version="V" [manifest="M"]/>
//   files/... the content of the install folder
//
// Reading accepts tar (plain, gzip, xz or zstd) and zip; writing makes a pax
// tar compressed with gzip or xz. Nothing else is read: other archive formats
// and filters are refused by the reader.
//
// Every entry is checked the same way when a package is opened and again
// while it is extracted; the first entry that breaks a rule ends the operation
// with mcZrzPackage::Exception naming the entry and the rule:
// - its path, less leading "./" and empty or "." components, is "zrz.xml",
//   "files" or below "files/"; absolute paths and ".." components are
//   refused, and so is a second entry of the same path;
// - it is a regular file, a folder or a symbolic link: hard links, devices,
//   FIFOs and sockets are refused;
// - a symbolic link's target is relative and, resolved from the link's
//   folder, stays inside "files/"; no entry lies below a symbolic link;
// - no entry is larger than Limits::nMaxEntryBytes, counting the bytes really
//   read (a header may lie); all together stay within nMaxTotalBytes, and
//   there are at most nMaxEntries entries;
// - "zrz.xml" is a regular file of at most kMaxDescriptorBytes whose document
//   element is "Package" with a non-empty "version" and a "component" that is
//   a safe file name (mfIsSafeFileName).
//
// Threads: an object is used by one thread at a time. ExtractFiles changes the
// process's working folder while it runs (the extraction is made relative to
// the target so that libarchive's secure-extraction checks apply) and is
// therefore for single-threaded programs such as the package installer.
#include <cstdint>
#include <string>
#include <vector>

#include "base/mcExc.h"

class mcZrzPackage {
public:
    // A refused or unreadable package; the description is the text an
    // installer reports ("<entry>: <rule>" for a refused entry).
    KETTRIN_DECLARE_EXC(Exception, mcExc);

    struct Limits {
        std::uint64_t nMaxEntryBytes = 1ull << 30;   // 1 GiB
        std::uint64_t nMaxTotalBytes = 4ull << 30;   // 4 GiB
        std::uint64_t nMaxEntries = 100000;
    };

    // What "zrz.xml" says.
    struct Descriptor {
        std::string strComponent;
        std::string strVersion;
        std::string strManifest;  // empty when the attribute is absent
    };

    enum class EntryType { kFile, kFolder, kSymlink };
    struct Entry {
        std::string strPath;  // normalised: "zrz.xml", "files", "files/a/b"
        EntryType eType = EntryType::kFile;
        std::uint64_t nSize = 0;  // bytes of a file's content
        std::string strLinkTarget;
        std::uint32_t nMode = 0;  // permission bits as extracted (no setuid, setgid, sticky)
    };

    enum class Compression { kGzip, kXz };

    static constexpr std::size_t kMaxDescriptorBytes = 64 * 1024;
    static constexpr const char* kDescriptorName = "zrz.xml";
    static constexpr const char* kFilesFolder = "files";

    // Reads the whole package at strPath once: its descriptor and its entries,
    // each checked as above. Throws Exception.
    static mcZrzPackage Open(const std::string& strPath, const Limits& limits);
    static mcZrzPackage Open(const std::string& strPath);  // default limits

    const std::string& Path() const { return m_strPath; }
    const Descriptor& GetDescriptor() const { return m_descriptor; }
    const std::vector<Entry>& Entries() const { return m_vecEntries; }

    // Extracts what lies below "files/" into strTarget, an existing empty
    // folder, reading the package again and checking every entry again. Files
    // are owned by the caller, get their permission bits less setuid, setgid,
    // sticky and the umask, and their modification times. On failure throws
    // Exception; what was extracted until then stays in strTarget (the caller
    // removes the folder) and nothing is written outside it.
    void ExtractFiles(const std::string& strTarget) const;

    // Writes a package of the folder strSourceFolder (its content becomes
    // "files/") with the descriptor, through the crash-safe writer. Regular
    // files, folders and symbolic links are taken, in name order; any other
    // file type, or a link that the reader would refuse, fails. The result is
    // read back with Open before it replaces strOutput. Throws Exception.
    static void Write(const std::string& strSourceFolder, const Descriptor& descriptor,
                      const std::string& strOutput, Compression eCompression, const Limits& limits);
    static void Write(const std::string& strSourceFolder, const Descriptor& descriptor,
                      const std::string& strOutput, Compression eCompression = Compression::kGzip);

    // The descriptor's XML text.
    static std::string DescriptorXml(const Descriptor& descriptor);
    // Parses a descriptor text; throws Exception when it breaks the rules.
    static Descriptor ParseDescriptor(const std::string& strXml);

private:
    mcZrzPackage() = default;

    std::string m_strPath;
    Limits m_limits;
    Descriptor m_descriptor;
    std::vector<Entry> m_vecEntries;
};
