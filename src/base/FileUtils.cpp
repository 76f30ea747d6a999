#include "base/FileUtils.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>

#include "base/StrUtils.h"
#include "base/Win32Error.h"
#include "base/mcExc.h"
#include "base/mcFileFinder.h"
#include "base/mcWin32Exc.h"

namespace {

// Windows numbers for "the file has no version resource".
constexpr std::uint32_t kErrorResourceTypeNotFound = 1813;

constexpr const char* kSaveFunction = "mfFileSaveUCharVec";
constexpr const char* kCannotOpen = "mfUCharVecToFile: couldn't open source file";
constexpr const char* kCannotWrite = "mfUCharVecToFile: couldn't write file";
constexpr const char* kVersionFunction = "mfFileGetFileVersion";
constexpr const char* kVersionSizeFailed = "call to ::GetFileVersionInfoSize() (to retrieve size) failed!";
constexpr const char* kVersionInfoFailed = "call to ::GetFileVersionInfoSize() (to retrieve info) failed!";
// Fixed lines of the records callers know.
constexpr int kLineCannotOpen = 2263;
constexpr int kLineVersionMissingFile = 699;
constexpr int kLineVersionSizeFailed = 710;
constexpr int kLineVersionInfoFailed = 734;

// The version note.
constexpr char kNoteOwner[] = "Kettrin";  // name size 8, NUL included
constexpr std::uint32_t kNoteTypeVersion = 1;
constexpr std::uint32_t kNoteDescSize = 16;
// Limits for what we read of a hostile file: note areas larger than this are
// not ours, and tables with more entries are skipped.
constexpr std::uint64_t kMaxNoteAreaBytes = 1u << 20;
// All note areas of one file together: headers may name the same large area
// many times over, and each is read and walked only within this budget.
constexpr std::uint64_t kMaxNoteBytesTotal = 4u << 20;
constexpr std::uint64_t kMaxTableEntries = 1u << 16;

class PrvFd {
public:
    explicit PrvFd(int fd) : m_fd(fd) {}
    ~PrvFd() {
        if (m_fd >= 0) close(m_fd);
    }
    PrvFd(const PrvFd&) = delete;
    PrvFd& operator=(const PrvFd&) = delete;
    int Get() const { return m_fd; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

bool PrvIsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PrvWriteAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads exactly size bytes at offset; false on a short read or error.
bool PrvReadAt(int fd, std::uint64_t offset, void* buffer, std::size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
        const ssize_t n = pread(fd, out, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

// True when [offset, offset + size) lies inside a file of fileSize bytes.
bool PrvInFile(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

enum class PrvNoteResult { NotFound, Found, Broken };

struct PrvVersion {
    std::uint32_t value[4] = {};
};

std::uint32_t PrvLoad32(const unsigned char* p) {
    std::uint32_t v = 0;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// Scans one note area (a PT_NOTE segment or an SHT_NOTE section).
// budget: note bytes the file may still make us read; reduced by size.
PrvNoteResult PrvScanNotes(int fd, std::uint64_t fileSize, std::uint64_t offset, std::uint64_t size,
                           std::uint64_t alignment, std::uint64_t& budget, PrvVersion& version) {
    if (size < 12 || size > kMaxNoteAreaBytes || !PrvInFile(offset, size, fileSize)) return PrvNoteResult::NotFound;
    if (size > budget) return PrvNoteResult::NotFound;
    budget -= size;
    std::vector<unsigned char> area(static_cast<std::size_t>(size));
    if (!PrvReadAt(fd, offset, area.data(), area.size())) return PrvNoteResult::NotFound;
    const std::uint64_t align = alignment == 8 ? 8 : 4;
    const auto alignUp = [align](std::uint64_t v) { return (v + align - 1) & ~(align - 1); };
    std::uint64_t pos = 0;
    while (size - pos >= 12) {
        const std::uint32_t nameSize = PrvLoad32(&area[pos]);
        const std::uint32_t descSize = PrvLoad32(&area[pos + 4]);
        const std::uint32_t type = PrvLoad32(&area[pos + 8]);
        const std::uint64_t namePos = pos + 12;
        const std::uint64_t descPos = namePos + alignUp(nameSize);  // sizes are 32-bit: no overflow
        const std::uint64_t nextPos = descPos + alignUp(descSize);
        const bool bNameInside = namePos + nameSize <= size;
        const bool bOurs = bNameInside && nameSize == sizeof(kNoteOwner) && type == kNoteTypeVersion &&
                           std::memcmp(&area[namePos], kNoteOwner, sizeof(kNoteOwner)) == 0;
        if (bOurs) {
            if (descSize < kNoteDescSize || descPos + kNoteDescSize > size) return PrvNoteResult::Broken;
            for (int i = 0; i < 4; ++i) version.value[i] = PrvLoad32(&area[descPos + 4 * i]);
            return PrvNoteResult::Found;
        }
        if (nextPos > size) break;
        pos = nextPos;
    }
    return PrvNoteResult::NotFound;
}

// Looks for the version note in an ELF file of class Ehdr/Phdr/Shdr.
template <typename Ehdr, typename Phdr, typename Shdr>
PrvNoteResult PrvFindVersionNote(int fd, std::uint64_t fileSize, PrvVersion& version) {
    std::uint64_t budget = kMaxNoteBytesTotal;
    Ehdr header{};
    if (!PrvReadAt(fd, 0, &header, sizeof(header))) return PrvNoteResult::NotFound;

    // Program headers: the note lies in an allocated PT_NOTE segment.
    const std::uint64_t phCount = header.e_phnum;
    if (header.e_phoff != 0 && header.e_phentsize >= sizeof(Phdr) && phCount < kMaxTableEntries &&
        PrvInFile(header.e_phoff, phCount * header.e_phentsize, fileSize)) {
        for (std::uint64_t i = 0; i < phCount; ++i) {
            Phdr ph{};
            if (!PrvReadAt(fd, header.e_phoff + i * header.e_phentsize, &ph, sizeof(ph))) break;
            if (ph.p_type != PT_NOTE) continue;
            const PrvNoteResult result =
                PrvScanNotes(fd, fileSize, ph.p_offset, ph.p_filesz, ph.p_align, budget, version);
            if (result != PrvNoteResult::NotFound) return result;
        }
    }

    // Section headers: objects without program headers.
    std::uint64_t shCount = header.e_shnum;
    if (header.e_shoff == 0 || header.e_shentsize < sizeof(Shdr) ||
        !PrvInFile(header.e_shoff, sizeof(Shdr), fileSize)) {
        return PrvNoteResult::NotFound;
    }
    if (shCount == 0) {  // more sections than e_shnum can hold: the count is in section 0
        Shdr first{};
        if (!PrvReadAt(fd, header.e_shoff, &first, sizeof(first))) return PrvNoteResult::NotFound;
        shCount = first.sh_size;
    }
    if (shCount >= kMaxTableEntries || !PrvInFile(header.e_shoff, shCount * header.e_shentsize, fileSize)) {
        return PrvNoteResult::NotFound;
    }
    for (std::uint64_t i = 0; i < shCount; ++i) {
        Shdr sh{};
        if (!PrvReadAt(fd, header.e_shoff + i * header.e_shentsize, &sh, sizeof(sh))) break;
        if (sh.sh_type != SHT_NOTE) continue;
        const PrvNoteResult result = PrvScanNotes(fd, fileSize, sh.sh_offset, sh.sh_size, sh.sh_addralign,
                                                  budget, version);
        if (result != PrvNoteResult::NotFound) return result;
    }
    return PrvNoteResult::NotFound;
}

[[noreturn]] void PrvVersionFail(int line, const char* description, std::uint32_t win32Error) {
    mfSetLastError(win32Error);
    KTHROW_AT(mcWin32Exc, kVersionFunction, line, description);
}

std::atomic<std::uint64_t> g_nTempCounter{0};

}  // namespace

bool mfCreateDirectories(const std::string& path) {
    std::string strPath = path;
    while (strPath.size() > 1 && strPath.back() == kPathSeparator) strPath.pop_back();
    if (strPath.empty()) {
        mfSetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (PrvIsDirectory(strPath)) return true;
    const std::size_t slash = strPath.rfind(kPathSeparator);
    if (slash != std::string::npos && slash > 0) {
        if (!mfCreateDirectories(strPath.substr(0, slash))) return false;
    }
    if (mkdir(strPath.c_str(), 0777) == 0) return true;
    const int err = errno;
    if (err == EEXIST && PrvIsDirectory(strPath)) return true;  // made by someone else meanwhile
    mfSetLastError(err == EEXIST ? ERROR_ALREADY_EXISTS : mfWin32ErrorFromErrno(err));
    return false;
}

bool mfDeleteDirectoryTree(const std::string& path) {
    struct stat st {};
    if (path.empty() || lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        mfSetLastError(ERROR_DIRECTORY);
        return false;
    }
    mcFileFinder finder;
    for (bool bFound = finder.Find(mfPathJoin(path, "*"), mcFileFinder::kFilesAndDirectories, false); bFound;
         bFound = finder.FindNext()) {
        const std::string strEntry = finder.GetFilePath();
        if (finder.IsDirectory()) {
            if (!mfDeleteDirectoryTree(strEntry)) return false;
        } else if (unlink(strEntry.c_str()) != 0) {
            mfSetLastErrorFromErrno(errno);
            return false;
        }
    }
    if (rmdir(path.c_str()) != 0) {
        mfSetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

std::int64_t mfFileGetSize(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : 0;
}

void mfUCharVecToFile(const std::vector<unsigned char>& bytes, const std::string& path, bool append) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    int fdRaw = open(path.c_str(), flags, 0666);
    if (fdRaw < 0) {
        const std::string strDir = path.empty() ? std::string() : mfStrGetDriveAndDirFromPath(path);
        if (!strDir.empty()) mfCreateDirectories(strDir);
        fdRaw = open(path.c_str(), flags, 0666);
    }
    PrvFd fd(fdRaw);
    if (fd.Get() < 0) {
        mfSetLastErrorFromErrno(errno);
        KTHROW_AT(mcExc, kSaveFunction, kLineCannotOpen, kCannotOpen);
    }
    if (!PrvWriteAll(fd.Get(), bytes.data(), bytes.size())) {
        mfSetLastErrorFromErrno(errno);
        KTHROW(mcExc, kSaveFunction, kCannotWrite);
    }
    if (close(fd.Release()) != 0) {  // deferred write errors (NFS, quota) show up here
        mfSetLastErrorFromErrno(errno);
        KTHROW(mcExc, kSaveFunction, kCannotWrite);
    }
}

void mfFileGetFileVersion(const std::string& path, std::uint32_t* major, std::uint32_t* minor,
                          std::uint32_t* build, std::uint32_t* revision) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        mfSetLastError(ERROR_FILE_NOT_FOUND);
        KTHROW_AT(mcExc, kVersionFunction, kLineVersionMissingFile,
                  "The file " + path + " does not exist.");
    }
    PrvFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.Get() < 0) {
        PrvVersionFail(kLineVersionSizeFailed, kVersionSizeFailed, mfWin32ErrorFromErrno(errno));
    }
    struct stat fst {};
    if (fstat(fd.Get(), &fst) != 0 || !S_ISREG(fst.st_mode)) {
        PrvVersionFail(kLineVersionSizeFailed, kVersionSizeFailed, kErrorResourceTypeNotFound);
    }
    const auto fileSize = static_cast<std::uint64_t>(fst.st_size);

    unsigned char ident[EI_NIDENT] = {};
    PrvNoteResult result = PrvNoteResult::NotFound;
    PrvVersion version;
    // Our notes are written in the byte order of the machine that reads them.
    constexpr unsigned char kHostData = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    if (PrvReadAt(fd.Get(), 0, ident, sizeof(ident)) && std::memcmp(ident, ELFMAG, SELFMAG) == 0 &&
        ident[EI_DATA] == kHostData) {
        if (ident[EI_CLASS] == ELFCLASS64) {
            result = PrvFindVersionNote<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr>(fd.Get(), fileSize, version);
        } else if (ident[EI_CLASS] == ELFCLASS32) {
            result = PrvFindVersionNote<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr>(fd.Get(), fileSize, version);
        }
    }
    if (result == PrvNoteResult::NotFound) {
        PrvVersionFail(kLineVersionSizeFailed, kVersionSizeFailed, kErrorResourceTypeNotFound);
    }
    if (result == PrvNoteResult::Broken) {
        PrvVersionFail(kLineVersionInfoFailed, kVersionInfoFailed, ERROR_INVALID_DATA);
    }
    if (major != nullptr) *major = version.value[0];
    if (minor != nullptr) *minor = version.value[1];
    if (build != nullptr) *build = version.value[2];
    if (revision != nullptr) *revision = version.value[3];
}

bool mfWriteFileAtomicWith(const std::string& path, const mfAtomicFiller& fnFill, mode_t newFileMode) {
    const std::string strName = mfStrGetFileNameFromPath(path);
    if (strName.empty()) {
        mfSetLastError(ERROR_INVALID_NAME);
        errno = EINVAL;
        return false;
    }
    const std::string strDir = path.substr(0, path.size() - strName.size());
    struct stat stOld {};
    const bool bKeepMode = stat(path.c_str(), &stOld) == 0 && S_ISREG(stOld.st_mode);

    // One temporary name scheme for every crash-safe file: hidden, beside the
    // target (same file system, so the rename is atomic), unique per process
    // and call.
    std::string strTemp;
    int fdRaw = -1;
    for (int attempt = 0; attempt < 100 && fdRaw < 0; ++attempt) {
        strTemp = strDir + "." + strName + ".tmp-" + std::to_string(getpid()) + "-" +
                  std::to_string(g_nTempCounter.fetch_add(1));
        fdRaw = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, newFileMode & 07777);
        if (fdRaw < 0 && errno != EEXIST) break;
    }
    if (fdRaw < 0) {
        const int err = errno;
        mfSetLastErrorFromErrno(err);
        errno = err;
        return false;
    }
    PrvFd fd(fdRaw);
    const auto fail = [&strTemp, &fd](int err) {
        if (fd.Get() >= 0) close(fd.Release());
        unlink(strTemp.c_str());
        mfSetLastErrorFromErrno(err);
        errno = err;
        return false;
    };
    if (bKeepMode && fchmod(fd.Get(), stOld.st_mode & 07777) != 0) return fail(errno);
    errno = 0;
    if (!fnFill(fd.Get())) return fail(errno != 0 ? errno : EIO);
    if (fsync(fd.Get()) != 0) return fail(errno);
    if (close(fd.Release()) != 0) return fail(errno);
    if (rename(strTemp.c_str(), path.c_str()) != 0) return fail(errno);
    // The new content is in place; make the rename itself durable. Some file
    // systems cannot sync a folder, which does not undo the replacement.
    PrvFd dirFd(open(strDir.empty() ? "." : strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Get() >= 0) fsync(dirFd.Get());
    return true;
}

bool mfWriteFileAtomic(const std::string& path, std::string_view bytes, mode_t newFileMode) {
    return mfWriteFileAtomicWith(
        path,
        [bytes](int fd) {
            return PrvWriteAll(fd, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        },
        newFileMode);
}

bool mfCopyFileAtomic(const std::string& source, const std::string& target) {
    // O_NONBLOCK: a FIFO put in place of the file after the caller checked it
    // must not hang the copy; only a regular file is copied.
    PrvFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    int err = 0;
    if (in.Get() < 0 || fstat(in.Get(), &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    if (err != 0) {
        mfSetLastErrorFromErrno(err);
        errno = err;
        return false;
    }
    return mfWriteFileAtomicWith(target, [&in](int fdOut) {
        std::vector<unsigned char> buffer(1 << 16);
        for (;;) {
            const ssize_t nRead = read(in.Get(), buffer.data(), buffer.size());
            if (nRead < 0 && errno == EINTR) continue;
            if (nRead < 0) return false;
            if (nRead == 0) return true;
            if (!PrvWriteAll(fdOut, buffer.data(), static_cast<std::size_t>(nRead))) return false;
        }
    });
}

bool mfWriteFileAtomic(const std::string& path, const std::vector<unsigned char>& bytes, mode_t newFileMode) {
    return mfWriteFileAtomic(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                             newFileMode);
}
