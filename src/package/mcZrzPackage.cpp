#include "package/mcZrzPackage.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <optional>
#include <set>

#include "base/FileUtils.h"
#include "base/SafeFileName.h"
#include "xml/miXMLDOMDocument.h"

namespace {

constexpr const char* kFunction = "mcZrzPackage";
constexpr std::size_t kMaxNameBytes = 200;
constexpr std::size_t kMaxVersionBytes = 128;
constexpr std::size_t kBlockBytes = 64 * 1024;

[[noreturn]] void PrvFail(const std::string& strText) {
    KTHROW(mcZrzPackage::Exception, kFunction, strText);
}

// Owns a libarchive reader or writer.
struct ArchiveReader {
    archive* p = archive_read_new();
    ~ArchiveReader() { archive_read_free(p); }
};
struct ArchiveWriter {
    archive* p = nullptr;
    explicit ArchiveWriter(archive* pArchive) : p(pArchive) {}
    ~ArchiveWriter() { archive_write_free(p); }
};
struct EntryHolder {
    archive_entry* p = archive_entry_new();
    ~EntryHolder() { archive_entry_free(p); }
};
struct FdHolder {
    int fd = -1;
    ~FdHolder() {
        if (fd >= 0) ::close(fd);
    }
};

std::string ArchiveError(archive* pArchive) {
    const char* psz = archive_error_string(pArchive);
    return psz != nullptr ? psz : "unknown archive error";
}

std::string ErrnoText(int nErr) { return std::strerror(nErr); }

std::vector<std::string> SplitPath(const std::string& strPath) {
    std::vector<std::string> vecParts;
    std::size_t nStart = 0;
    while (nStart <= strPath.size()) {
        std::size_t nEnd = strPath.find('/', nStart);
        if (nEnd == std::string::npos) nEnd = strPath.size();
        vecParts.push_back(strPath.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return vecParts;
}

// Applies the entry rules of the header, one entry after the other, for one
// pass over a package.
class EntryChecker {
public:
    explicit EntryChecker(const mcZrzPackage::Limits& limits) : m_limits(limits) {}

    // The checked entry, or nullopt for the archive's own root ("./").
    std::optional<mcZrzPackage::Entry> Check(archive_entry* pEntry) {
        const char* pszRaw = archive_entry_pathname(pEntry);
        if (pszRaw == nullptr || *pszRaw == '\0') PrvFail("entry without a name: refused");
        const std::string strRaw = pszRaw;
        if (++m_nEntries > m_limits.nMaxEntries) {
            PrvFail(strRaw + ": more than " + std::to_string(m_limits.nMaxEntries) + " entries: refused");
        }
        if (strRaw[0] == '/') PrvFail(strRaw + ": absolute path: refused");

        std::vector<std::string> vecParts;
        for (const std::string& strPart : SplitPath(strRaw)) {
            if (strPart.empty() || strPart == ".") continue;
            if (strPart == "..") PrvFail(strRaw + ": path with '..': refused");
            vecParts.push_back(strPart);
        }
        const unsigned nType = archive_entry_filetype(pEntry);
        if (archive_entry_hardlink(pEntry) != nullptr) PrvFail(strRaw + ": hard link: refused");
        if (nType == AE_IFCHR || nType == AE_IFBLK) PrvFail(strRaw + ": device node: refused");
        if (nType == AE_IFIFO) PrvFail(strRaw + ": FIFO: refused");
        if (nType == AE_IFSOCK) PrvFail(strRaw + ": socket: refused");
        if (nType != AE_IFREG && nType != AE_IFDIR && nType != AE_IFLNK) {
            PrvFail(strRaw + ": unsupported entry type: refused");
        }
        if (vecParts.empty()) {
            if (nType != AE_IFDIR) PrvFail(strRaw + ": entry without a name: refused");
            return std::nullopt;
        }

        mcZrzPackage::Entry entry;
        for (const std::string& strPart : vecParts) {
            entry.strPath += (entry.strPath.empty() ? "" : "/") + strPart;
        }
        entry.eType = nType == AE_IFDIR   ? mcZrzPackage::EntryType::kFolder
                      : nType == AE_IFLNK ? mcZrzPackage::EntryType::kSymlink
                                          : mcZrzPackage::EntryType::kFile;
        const std::string& strPath = entry.strPath;

        const bool bDescriptor = vecParts.size() == 1 && vecParts[0] == mcZrzPackage::kDescriptorName;
        if (!bDescriptor && vecParts[0] != mcZrzPackage::kFilesFolder) {
            PrvFail(strRaw + ": outside \"files/\": refused");
        }
        if (bDescriptor && entry.eType != mcZrzPackage::EntryType::kFile) {
            PrvFail(strRaw + ": not a regular file: refused");
        }
        if (vecParts.size() == 1 && !bDescriptor && entry.eType != mcZrzPackage::EntryType::kFolder) {
            PrvFail(strRaw + ": not a folder: refused");
        }

        // A link may neither have something below it nor replace a folder
        // that earlier entries made, and no path comes twice.
        std::string strPrefix;
        for (std::size_t i = 0; i + 1 < vecParts.size(); ++i) {
            strPrefix += (i == 0 ? "" : "/") + vecParts[i];
            if (m_setLinks.count(strPrefix) != 0) {
                PrvFail(strRaw + ": lies below the symbolic link " + strPrefix + ": refused");
            }
            if (m_setPaths.count(strPrefix) != 0 && m_setFolders.count(strPrefix) == 0) {
                PrvFail(strRaw + ": lies below the file " + strPrefix + ": refused");
            }
            m_setFolders.insert(strPrefix);
        }
        if (m_setPaths.count(strPath) != 0) PrvFail(strRaw + ": appears twice: refused");
        if (entry.eType != mcZrzPackage::EntryType::kFolder && m_setFolders.count(strPath) != 0) {
            PrvFail(strRaw + ": replaces a folder: refused");
        }
        m_setPaths.insert(strPath);
        if (entry.eType == mcZrzPackage::EntryType::kFolder) m_setFolders.insert(strPath);

        if (entry.eType == mcZrzPackage::EntryType::kSymlink) {
            const char* pszTarget = archive_entry_symlink(pEntry);
            if (pszTarget == nullptr || *pszTarget == '\0') {
                PrvFail(strRaw + ": symbolic link without a target: refused");
            }
            entry.strLinkTarget = pszTarget;
            if (!PrvLinkStaysInside(vecParts, entry.strLinkTarget)) {
                PrvFail(strRaw + ": symbolic link to " + entry.strLinkTarget +
                        " points out of the package: refused");
            }
            m_setLinks.insert(strPath);
        }

        if (archive_entry_size_is_set(pEntry) && archive_entry_size(pEntry) > 0) {
            entry.nSize = static_cast<std::uint64_t>(archive_entry_size(pEntry));
            PrvCheckSize(strRaw, entry.nSize, 0);
        }
        const std::uint32_t nPerm = static_cast<std::uint32_t>(archive_entry_perm(pEntry)) & 0777u;
        entry.nMode = entry.eType == mcZrzPackage::EntryType::kFolder ? (nPerm | 0700u)
                      : entry.eType == mcZrzPackage::EntryType::kFile ? (nPerm | 0600u)
                                                                      : 0777u;
        return entry;
    }

    // Counts nBytes more content of the entry strRaw, which has had nBefore
    // bytes so far; throws past a limit.
    void CountContent(const std::string& strRaw, std::uint64_t nBefore, std::uint64_t nBytes) {
        PrvCheckSize(strRaw, nBefore + nBytes, nBytes);
        m_nTotal += nBytes;
    }

private:
    void PrvCheckSize(const std::string& strRaw, std::uint64_t nEntryBytes, std::uint64_t nMore) const {
        if (nEntryBytes > m_limits.nMaxEntryBytes) {
            PrvFail(strRaw + ": larger than the limit of " + std::to_string(m_limits.nMaxEntryBytes) +
                    " bytes: refused");
        }
        if (m_nTotal + nMore > m_limits.nMaxTotalBytes) {
            PrvFail(strRaw + ": the package's content is larger than the limit of " +
                    std::to_string(m_limits.nMaxTotalBytes) + " bytes: refused");
        }
    }

    // True when strTarget, resolved from the folder of the link vecLink
    // ("files", ..., name), stays below "files".
    static bool PrvLinkStaysInside(const std::vector<std::string>& vecLink, const std::string& strTarget) {
        if (strTarget[0] == '/') return false;
        // Depth of the link's folder below "files".
        long nDepth = static_cast<long>(vecLink.size()) - 2;
        for (const std::string& strPart : SplitPath(strTarget)) {
            if (strPart.empty() || strPart == ".") continue;
            nDepth += strPart == ".." ? -1 : 1;
            if (nDepth < 0) return false;
        }
        return true;
    }

    mcZrzPackage::Limits m_limits;
    std::uint64_t m_nEntries = 0;
    std::uint64_t m_nTotal = 0;
    std::set<std::string> m_setPaths;
    std::set<std::string> m_setFolders;
    std::set<std::string> m_setLinks;
};

// Opens strPath for reading without following it into a FIFO or device.
int PrvOpenPackageFile(const std::string& strPath) {
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) PrvFail(strPath + ": cannot open the package: " + ErrnoText(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        PrvFail(strPath + ": the package is not a regular file");
    }
    return fd;
}

// Starts reading the archive on fd with the formats and filters packages use.
void PrvOpenReader(archive* pReader, int fd, const std::string& strPath) {
    archive_read_support_filter_gzip(pReader);
    archive_read_support_filter_xz(pReader);
    archive_read_support_filter_zstd(pReader);
    archive_read_support_format_tar(pReader);
    archive_read_support_format_zip(pReader);
    if (archive_read_open_fd(pReader, fd, kBlockBytes) != ARCHIVE_OK) {
        PrvFail(strPath + ": not a package archive: " + ArchiveError(pReader));
    }
}

// Next header; false at the end.
bool PrvNextHeader(archive* pReader, archive_entry** ppEntry, const std::string& strPath) {
    const int r = archive_read_next_header(pReader, ppEntry);
    if (r == ARCHIVE_EOF) return false;
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) PrvFail(strPath + ": damaged archive: " + ArchiveError(pReader));
    return true;
}

// Reads one entry's content block by block, counting it; fnBlock (when set)
// receives each block with its offset.
template <typename Fn>
std::uint64_t PrvReadContent(archive* pReader, EntryChecker& checker, const std::string& strRaw,
                             const std::string& strPath, Fn fnBlock) {
    std::uint64_t nRead = 0;
    for (;;) {
        const void* pBuffer = nullptr;
        size_t nSize = 0;
        la_int64_t nOffset = 0;
        const int r = archive_read_data_block(pReader, &pBuffer, &nSize, &nOffset);
        if (r == ARCHIVE_EOF) return nRead;
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
            PrvFail(strPath + ": damaged archive at " + strRaw + ": " + ArchiveError(pReader));
        }
        // A sparse block's offset counts too: the file grows to it.
        const std::uint64_t nEnd = static_cast<std::uint64_t>(nOffset < 0 ? 0 : nOffset) + nSize;
        if (nEnd > nRead) {
            checker.CountContent(strRaw, nRead, nEnd - nRead);
            nRead = nEnd;
        }
        fnBlock(pBuffer, nSize, nOffset);
    }
}

// Adds a block of zrz.xml to strText, within the descriptor's size limit.
void PrvAppendDescriptor(std::string& strText, const std::string& strRaw, const void* p, size_t n) {
    if (strText.size() + n > mcZrzPackage::kMaxDescriptorBytes) {
        PrvFail(strRaw + ": larger than " + std::to_string(mcZrzPackage::kMaxDescriptorBytes) + " bytes: refused");
    }
    strText.append(static_cast<const char*>(p), n);
}

// Scans a whole package on fd: entries checked and listed, descriptor parsed.
void PrvScan(int fd, const std::string& strPath, const mcZrzPackage::Limits& limits,
             mcZrzPackage::Descriptor& descriptor, std::vector<mcZrzPackage::Entry>& vecEntries) {
    ArchiveReader reader;
    PrvOpenReader(reader.p, fd, strPath);
    EntryChecker checker(limits);
    std::optional<std::string> descriptorText;
    archive_entry* pEntry = nullptr;
    while (PrvNextHeader(reader.p, &pEntry, strPath)) {
        const std::string strRaw = archive_entry_pathname(pEntry) ? archive_entry_pathname(pEntry) : "";
        std::optional<mcZrzPackage::Entry> entry = checker.Check(pEntry);
        if (!entry) continue;
        const bool bDescriptor = entry->strPath == mcZrzPackage::kDescriptorName;
        std::string strText;
        const std::uint64_t nRead =
            PrvReadContent(reader.p, checker, strRaw, strPath, [&](const void* p, size_t n, la_int64_t) {
                if (bDescriptor) PrvAppendDescriptor(strText, strRaw, p, n);
            });
        if (entry->eType == mcZrzPackage::EntryType::kFile) entry->nSize = nRead;
        if (bDescriptor) descriptorText = strText;
        vecEntries.push_back(std::move(*entry));
    }
    if (!descriptorText) PrvFail(strPath + ": the package has no zrz.xml");
    descriptor = mcZrzPackage::ParseDescriptor(*descriptorText);
}

// Changes the working folder for its life and restores it afterwards.
class WorkingFolderScope {
public:
    explicit WorkingFolderScope(const std::string& strFolder) {
        m_fdOld = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (::chdir(strFolder.c_str()) != 0) {
            const int nErr = errno;
            if (m_fdOld >= 0) ::close(m_fdOld);
            PrvFail(strFolder + ": cannot enter the install folder: " + ErrnoText(nErr));
        }
    }
    ~WorkingFolderScope() {
        if (m_fdOld >= 0) {
            if (::fchdir(m_fdOld) != 0 && ::chdir("/") != 0) {
                // Nothing more can be done; the folder we left is gone.
            }
            ::close(m_fdOld);
        } else if (::chdir("/") != 0) {
            // As above.
        }
    }
    WorkingFolderScope(const WorkingFolderScope&) = delete;
    WorkingFolderScope& operator=(const WorkingFolderScope&) = delete;

private:
    int m_fdOld = -1;
};

// Adds the content of strFolder (a path on disk) as strName/... to pWriter.
void PrvWriteTree(archive* pWriter, const std::string& strFolder, const std::string& strName) {
    DIR* pDir = ::opendir(strFolder.c_str());
    if (pDir == nullptr) PrvFail(strFolder + ": cannot read the folder: " + ErrnoText(errno));
    std::vector<std::string> vecNames;
    while (const dirent* pEnt = ::readdir(pDir)) {
        const std::string strEnt = pEnt->d_name;
        if (strEnt != "." && strEnt != "..") vecNames.push_back(strEnt);
    }
    ::closedir(pDir);
    std::sort(vecNames.begin(), vecNames.end());

    for (const std::string& strEnt : vecNames) {
        const std::string strDisk = strFolder + "/" + strEnt;
        const std::string strArchived = strName + "/" + strEnt;
        struct stat st {};
        if (::lstat(strDisk.c_str(), &st) != 0) PrvFail(strDisk + ": " + ErrnoText(errno));
        EntryHolder entry;
        archive_entry_set_pathname(entry.p, strArchived.c_str());
        archive_entry_set_mtime(entry.p, st.st_mtime, 0);
        archive_entry_set_perm(entry.p, st.st_mode & 0777);
        FdHolder file;
        if (S_ISREG(st.st_mode)) {
            file.fd = ::open(strDisk.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            if (file.fd < 0) PrvFail(strDisk + ": " + ErrnoText(errno));
            if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) PrvFail(strDisk + ": changed while packing");
            archive_entry_set_filetype(entry.p, AE_IFREG);
            archive_entry_set_size(entry.p, st.st_size);
        } else if (S_ISDIR(st.st_mode)) {
            archive_entry_set_filetype(entry.p, AE_IFDIR);
        } else if (S_ISLNK(st.st_mode)) {
            std::string strTarget(static_cast<std::size_t>(st.st_size) + 1, '\0');
            const ssize_t n = ::readlink(strDisk.c_str(), strTarget.data(), strTarget.size());
            if (n < 0 || static_cast<std::size_t>(n) >= strTarget.size()) PrvFail(strDisk + ": cannot read the link");
            strTarget.resize(static_cast<std::size_t>(n));
            archive_entry_set_filetype(entry.p, AE_IFLNK);
            archive_entry_set_symlink(entry.p, strTarget.c_str());
        } else {
            PrvFail(strDisk + ": not a regular file, folder or symbolic link");
        }
        if (archive_write_header(pWriter, entry.p) < ARCHIVE_WARN) {
            PrvFail(strDisk + ": " + ArchiveError(pWriter));
        }
        if (file.fd >= 0) {
            std::vector<char> vecBuffer(kBlockBytes);
            std::int64_t nLeft = st.st_size;
            while (nLeft > 0) {
                const ssize_t n = ::read(file.fd, vecBuffer.data(),
                                         static_cast<std::size_t>(std::min<std::int64_t>(nLeft, kBlockBytes)));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) PrvFail(strDisk + ": changed while packing");
                if (archive_write_data(pWriter, vecBuffer.data(), static_cast<std::size_t>(n)) != n) {
                    PrvFail(strDisk + ": " + ArchiveError(pWriter));
                }
                nLeft -= n;
            }
        }
        if (S_ISDIR(st.st_mode)) PrvWriteTree(pWriter, strDisk, strArchived);
    }
}

}  // namespace

mcZrzPackage mcZrzPackage::Open(const std::string& strPath, const Limits& limits) {
    FdHolder file;
    file.fd = PrvOpenPackageFile(strPath);
    mcZrzPackage package;
    package.m_strPath = strPath;
    package.m_limits = limits;
    PrvScan(file.fd, strPath, limits, package.m_descriptor, package.m_vecEntries);
    return package;
}

mcZrzPackage mcZrzPackage::Open(const std::string& strPath) { return Open(strPath, Limits()); }

void mcZrzPackage::Write(const std::string& strSourceFolder, const Descriptor& descriptor,
                         const std::string& strOutput, Compression eCompression) {
    Write(strSourceFolder, descriptor, strOutput, eCompression, Limits());
}

void mcZrzPackage::ExtractFiles(const std::string& strTarget) const {
    struct stat st {};
    if (::lstat(strTarget.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        PrvFail(strTarget + ": the install folder is not a folder");
    }
    FdHolder file;
    file.fd = PrvOpenPackageFile(m_strPath);
    ArchiveReader reader;
    PrvOpenReader(reader.p, file.fd, m_strPath);
    ArchiveWriter disk(archive_write_disk_new());
    // No owner, no permissions beyond the umask's, no set-id bits: the files
    // belong to the installer. libarchive's own checks refuse writing through
    // links and paths with ".." or a leading "/".
    archive_write_disk_set_options(disk.p, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                               ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                               ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS);
    WorkingFolderScope scope(strTarget);

    EntryChecker checker(m_limits);
    std::string strDescriptorText;
    bool bDescriptorSeen = false;
    const std::string strPrefix = std::string(kFilesFolder) + "/";
    archive_entry* pEntry = nullptr;
    while (PrvNextHeader(reader.p, &pEntry, m_strPath)) {
        const std::string strRaw = archive_entry_pathname(pEntry) ? archive_entry_pathname(pEntry) : "";
        std::optional<Entry> entry = checker.Check(pEntry);
        const bool bExtract = entry && entry->strPath.compare(0, strPrefix.size(), strPrefix) == 0;
        if (!bExtract) {
            const bool bDescriptor = entry && entry->strPath == kDescriptorName;
            PrvReadContent(reader.p, checker, strRaw, m_strPath, [&](const void* p, size_t n, la_int64_t) {
                if (bDescriptor) PrvAppendDescriptor(strDescriptorText, strRaw, p, n);
            });
            if (bDescriptor) bDescriptorSeen = true;
            continue;
        }
        const std::string strRelative = entry->strPath.substr(strPrefix.size());
        archive_entry_set_pathname(pEntry, strRelative.c_str());
        archive_entry_set_perm(pEntry, static_cast<mode_t>(entry->nMode));
        archive_entry_set_uid(pEntry, 0);
        archive_entry_set_gid(pEntry, 0);
        if (archive_write_header(disk.p, pEntry) < ARCHIVE_WARN) {
            PrvFail(strRaw + ": cannot be extracted: " + ArchiveError(disk.p));
        }
        PrvReadContent(reader.p, checker, strRaw, m_strPath, [&](const void* p, size_t n, la_int64_t nOffset) {
            if (archive_write_data_block(disk.p, p, n, nOffset) < ARCHIVE_WARN) {
                PrvFail(strRaw + ": cannot be extracted: " + ArchiveError(disk.p));
            }
        });
        if (archive_write_finish_entry(disk.p) < ARCHIVE_WARN) {
            PrvFail(strRaw + ": cannot be extracted: " + ArchiveError(disk.p));
        }
    }
    // The file read now must be the package Open read.
    if (!bDescriptorSeen) PrvFail(m_strPath + ": the package has no zrz.xml");
    const Descriptor now = ParseDescriptor(strDescriptorText);
    if (now.strComponent != m_descriptor.strComponent || now.strVersion != m_descriptor.strVersion ||
        now.strManifest != m_descriptor.strManifest) {
        PrvFail(m_strPath + ": the package changed while it was being installed");
    }
    if (archive_write_close(disk.p) < ARCHIVE_WARN) {
        PrvFail(strTarget + ": cannot finish the extraction: " + ArchiveError(disk.p));
    }
}

void mcZrzPackage::Write(const std::string& strSourceFolder, const Descriptor& descriptor,
                         const std::string& strOutput, Compression eCompression, const Limits& limits) {
    const std::string strXml = DescriptorXml(descriptor);
    ParseDescriptor(strXml);  // the same rules as the reader's
    struct stat st {};
    if (::stat(strSourceFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        PrvFail(strSourceFolder + ": not a folder");
    }

    std::exception_ptr pError;
    const bool bWritten = mfWriteFileAtomicWith(
        strOutput,
        [&](int fd) {
            try {
                ArchiveWriter writer(archive_write_new());
                archive_write_set_format_pax_restricted(writer.p);
                if (eCompression == Compression::kXz) {
                    archive_write_add_filter_xz(writer.p);
                } else {
                    archive_write_add_filter_gzip(writer.p);
                }
                // Compressed output ends exactly where the data does.
                archive_write_set_bytes_in_last_block(writer.p, 1);
                if (archive_write_open_fd(writer.p, fd) != ARCHIVE_OK) PrvFail(strOutput + ": " + ArchiveError(writer.p));

                const std::time_t now = std::time(nullptr);
                EntryHolder xml;
                archive_entry_set_pathname(xml.p, kDescriptorName);
                archive_entry_set_filetype(xml.p, AE_IFREG);
                archive_entry_set_perm(xml.p, 0644);
                archive_entry_set_size(xml.p, static_cast<la_int64_t>(strXml.size()));
                archive_entry_set_mtime(xml.p, now, 0);
                if (archive_write_header(writer.p, xml.p) < ARCHIVE_WARN ||
                    archive_write_data(writer.p, strXml.data(), strXml.size()) != static_cast<la_ssize_t>(strXml.size())) {
                    PrvFail(strOutput + ": " + ArchiveError(writer.p));
                }
                EntryHolder files;
                archive_entry_set_pathname(files.p, kFilesFolder);
                archive_entry_set_filetype(files.p, AE_IFDIR);
                archive_entry_set_perm(files.p, 0755);
                archive_entry_set_mtime(files.p, now, 0);
                if (archive_write_header(writer.p, files.p) < ARCHIVE_WARN) PrvFail(strOutput + ": " + ArchiveError(writer.p));
                PrvWriteTree(writer.p, strSourceFolder, kFilesFolder);
                if (archive_write_close(writer.p) != ARCHIVE_OK) PrvFail(strOutput + ": " + ArchiveError(writer.p));

                // Read back what was written: a package this reader refuses
                // never replaces the output. The writer's descriptor is
                // write-only: the temporary file is opened again for reading.
                FdHolder back;
                back.fd = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
                if (back.fd < 0) PrvFail(strOutput + ": cannot read the package back: " + ErrnoText(errno));
                Descriptor check;
                std::vector<Entry> vecEntries;
                PrvScan(back.fd, strOutput, limits, check, vecEntries);
                return true;
            } catch (...) {
                pError = std::current_exception();
                return false;
            }
        },
        0644);
    if (pError) std::rethrow_exception(pError);
    if (!bWritten) PrvFail(strOutput + ": cannot write the package: " + ErrnoText(errno));
}

std::string mcZrzPackage::DescriptorXml(const Descriptor& descriptor) {
    miXMLDOMDocument doc;
    try {
        miXMLDOMElement root = doc.CreateElement("Package");
        root.SetAttributeText("component", descriptor.strComponent);
        root.SetAttributeText("version", descriptor.strVersion);
        if (!descriptor.strManifest.empty()) root.SetAttributeText("manifest", descriptor.strManifest);
        doc.AppendChild(root);
    } catch (const mcExc& e) {
        PrvFail("zrz.xml: cannot be written: " + e.Description());
    }
    return doc.GetXml();
}

mcZrzPackage::Descriptor mcZrzPackage::ParseDescriptor(const std::string& strXml) {
    miXMLDOMDocument doc;
    try {
        doc.loadXML(strXml);
    } catch (const mcExc& e) {
        PrvFail(std::string("zrz.xml: not well-formed: ") + e.Description());
    }
    const miXMLDOMElement root = doc.GetDocumentElement();
    if (root.GetNode() == nullptr || root.GetTagName() != "Package") {
        PrvFail("zrz.xml: the document element is not \"Package\"");
    }
    Descriptor descriptor;
    if (!root.FindAttributeText("component", &descriptor.strComponent) ||
        !mfIsSafeFileName(descriptor.strComponent) || descriptor.strComponent.size() > kMaxNameBytes) {
        PrvFail("zrz.xml: the component name \"" + descriptor.strComponent + "\" is not a safe file name");
    }
    if (!root.FindAttributeText("version", &descriptor.strVersion) || descriptor.strVersion.empty() ||
        descriptor.strVersion.size() > kMaxVersionBytes) {
        PrvFail("zrz.xml: missing or unusable \"version\"");
    }
    root.FindAttributeText("manifest", &descriptor.strManifest);
    return descriptor;
}
