#include "crash/mcProcessMaps.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "crash/mcCrashText.h"

namespace {

bool PrvParseHex(const char*& p, const char* pEnd, std::uint64_t& nValue) {
    nValue = 0;
    const char* pStart = p;
    for (; p < pEnd; ++p) {
        const char c = *p;
        int nDigit = -1;
        if (c >= '0' && c <= '9')
            nDigit = c - '0';
        else if (c >= 'a' && c <= 'f')
            nDigit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            nDigit = c - 'A' + 10;
        if (nDigit < 0) break;
        nValue = (nValue << 4) | static_cast<std::uint64_t>(nDigit);
    }
    return p != pStart;
}

void PrvSkipField(const char*& p, const char* pEnd) {
    while (p < pEnd && *p != ' ') ++p;
    while (p < pEnd && *p == ' ') ++p;
}

}  // namespace

bool mcProcessMaps::Load() {
    m_nRegions = 0;
    m_nModules = 0;
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[8192];
    std::size_t nHave = 0;
    for (;;) {
        const ssize_t nRead = ::read(fd, buffer + nHave, sizeof buffer - nHave);
        if (nRead < 0) {
            ::close(fd);
            return false;
        }
        nHave += static_cast<std::size_t>(nRead);
        std::size_t nStart = 0;
        for (std::size_t i = 0; i < nHave; ++i) {
            if (buffer[i] == '\n') {
                PrvAddRegion(buffer + nStart, i - nStart);
                nStart = i + 1;
            }
        }
        if (nRead == 0) {
            if (nStart < nHave) PrvAddRegion(buffer + nStart, nHave - nStart);
            break;
        }
        if (nStart == 0 && nHave == sizeof buffer) nStart = nHave;  // an overlong line is dropped
        std::memmove(buffer, buffer + nStart, nHave - nStart);
        nHave -= nStart;
    }
    ::close(fd);
    PrvCollectModules();
    return true;
}

void mcProcessMaps::PrvAddRegion(const char* pLine, std::size_t nLength) {
    if (m_nRegions >= kMaxRegions) return;
    // "start-end perms offset dev inode   path"
    const char* p = pLine;
    const char* pEnd = pLine + nLength;
    msMapRegion& region = m_regions[m_nRegions];
    if (!PrvParseHex(p, pEnd, region.nStart) || p >= pEnd || *p != '-') return;
    ++p;
    if (!PrvParseHex(p, pEnd, region.nEnd) || p >= pEnd) return;
    ++p;
    region.bReadable = p < pEnd && *p == 'r';
    PrvSkipField(p, pEnd);
    if (!PrvParseHex(p, pEnd, region.nOffset)) return;
    ++p;
    PrvSkipField(p, pEnd);  // device
    PrvSkipField(p, pEnd);  // inode
    std::size_t nPath = static_cast<std::size_t>(pEnd - p);
    if (nPath >= sizeof region.szPath) nPath = sizeof region.szPath - 1;
    std::memcpy(region.szPath, p, nPath);
    region.szPath[nPath] = '\0';
    ++m_nRegions;
}

const msMapRegion* mcProcessMaps::Find(std::uint64_t nAddress) const {
    for (std::size_t i = 0; i < m_nRegions; ++i) {
        if (nAddress >= m_regions[i].nStart && nAddress < m_regions[i].nEnd) return &m_regions[i];
    }
    return nullptr;
}

bool mcProcessMaps::IsReadable(std::uint64_t nAddress, std::size_t nSize) const {
    std::uint64_t nAt = nAddress;
    const std::uint64_t nEnd = nAddress + nSize;
    if (nEnd < nAddress) return false;
    while (nAt < nEnd) {
        const msMapRegion* pRegion = Find(nAt);
        if (!pRegion || !pRegion->bReadable) return false;
        nAt = pRegion->nEnd;
    }
    return true;
}

std::uint64_t mcProcessMaps::RunEnd(std::uint64_t nAddress) const {
    const msMapRegion* pRegion = Find(nAddress);
    if (!pRegion) return 0;
    std::uint64_t nEnd = pRegion->nEnd;
    for (const msMapRegion* pNext = Find(nEnd); pNext && pNext->bReadable; pNext = Find(nEnd)) nEnd = pNext->nEnd;
    return nEnd;
}

std::uint64_t mcProcessMaps::MappedBytes() const {
    std::uint64_t nTotal = 0;
    for (std::size_t i = 0; i < m_nRegions; ++i) nTotal += m_regions[i].nEnd - m_regions[i].nStart;
    return nTotal;
}

void mcProcessMaps::PrvCollectModules() {
    for (std::size_t i = 0; i < m_nRegions && m_nModules < kMaxModules; ++i) {
        const msMapRegion& region = m_regions[i];
        if (region.nOffset != 0 || region.szPath[0] != '/' || !region.bReadable) continue;
        if (region.nEnd - region.nStart < sizeof(Elf64_Ehdr)) continue;
        const auto* pHeader = reinterpret_cast<const Elf64_Ehdr*>(region.nStart);
        if (std::memcmp(pHeader->e_ident, ELFMAG, SELFMAG) != 0 || pHeader->e_ident[EI_CLASS] != ELFCLASS64) continue;
        msLoadedModule& module = m_modules[m_nModules];
        module = msLoadedModule{};
        module.nBase = region.nStart;
        std::uint64_t nEnd = region.nEnd;
        for (std::size_t k = i + 1; k < m_nRegions; ++k) {
            if (std::strcmp(m_regions[k].szPath, region.szPath) != 0) {
                // The object's .bss follows as an anonymous mapping; other
                // files end it.
                if (m_regions[k].szPath[0] != '\0') break;
                continue;
            }
            if (m_regions[k].nOffset == 0) break;  // the same file mapped again
            nEnd = m_regions[k].nEnd;
        }
        module.nSize = nEnd - module.nBase;
        mfCrashStrCopy(module.szPath, sizeof module.szPath, region.szPath);
        struct stat st {};
        if (::stat(module.szPath, &st) == 0) {
            module.nFileSize = st.st_size;
            module.nFileTime = st.st_mtime;
        }
        PrvReadNotes(module);
        ++m_nModules;
    }
}

void mcProcessMaps::PrvReadNotes(msLoadedModule& module) const {
    const auto* pHeader = reinterpret_cast<const Elf64_Ehdr*>(module.nBase);
    if (pHeader->e_phentsize != sizeof(Elf64_Phdr) || pHeader->e_phnum == 0) return;
    const std::uint64_t nPhdrs = module.nBase + pHeader->e_phoff;
    if (!IsReadable(nPhdrs, pHeader->e_phnum * sizeof(Elf64_Phdr))) return;
    const auto* pPhdrs = reinterpret_cast<const Elf64_Phdr*>(nPhdrs);
    // Load bias: where the first PT_LOAD's page sits relative to its vaddr.
    std::uint64_t nBias = module.nBase;
    for (int i = 0; i < pHeader->e_phnum; ++i) {
        if (pPhdrs[i].p_type == PT_LOAD) {
            nBias = module.nBase - (pPhdrs[i].p_vaddr & ~static_cast<std::uint64_t>(0xFFF));
            break;
        }
    }
    for (int i = 0; i < pHeader->e_phnum; ++i) {
        if (pPhdrs[i].p_type != PT_NOTE) continue;
        const std::uint64_t nStart = nBias + pPhdrs[i].p_vaddr;
        const std::uint64_t nSize = pPhdrs[i].p_memsz;
        if (nSize > (1u << 20) || !IsReadable(nStart, nSize)) continue;
        std::uint64_t nAt = nStart;
        while (nAt + sizeof(Elf64_Nhdr) <= nStart + nSize) {
            const auto* pNote = reinterpret_cast<const Elf64_Nhdr*>(nAt);
            const std::uint64_t nName = nAt + sizeof(Elf64_Nhdr);
            const std::uint64_t nDesc = nName + ((pNote->n_namesz + 3u) & ~3u);
            const std::uint64_t nNext = nDesc + ((pNote->n_descsz + 3u) & ~3u);
            if (nNext > nStart + nSize) break;
            const char* pszName = reinterpret_cast<const char*>(nName);
            if (pNote->n_type == 1 && pNote->n_namesz == 8 && std::memcmp(pszName, "Kettrin", 8) == 0 &&
                pNote->n_descsz == 16) {
                std::memcpy(module.version, reinterpret_cast<const void*>(nDesc), 16);
                module.bHasVersion = true;
            } else if (pNote->n_type == NT_GNU_BUILD_ID && pNote->n_namesz == 4 &&
                       std::memcmp(pszName, "GNU", 4) == 0 && pNote->n_descsz <= sizeof module.buildId) {
                std::memcpy(module.buildId, reinterpret_cast<const void*>(nDesc), pNote->n_descsz);
                module.nBuildIdSize = pNote->n_descsz;
            }
            nAt = nNext;
        }
    }
}

const msLoadedModule* mcProcessMaps::FindModule(std::uint64_t nAddress) const {
    for (std::size_t i = 0; i < m_nModules; ++i) {
        if (nAddress >= m_modules[i].nBase && nAddress < m_modules[i].nBase + m_modules[i].nSize) return &m_modules[i];
    }
    return nullptr;
}
