#pragma once
// The mappings of this process, read from /proc/self/maps, and the loaded ELF
// objects found among them.
//
// Threads: any. Async-signal-safe: open/read/close into buffers inside the
// object, no heap. Reading memory is only done inside readable mappings.
#include <cstddef>
#include <cstdint>

struct msMapRegion {
    std::uint64_t nStart = 0;
    std::uint64_t nEnd = 0;
    std::uint64_t nOffset = 0;
    bool bReadable = false;
    char szPath[512] = {};  // empty for anonymous mappings
};

struct msLoadedModule {
    std::uint64_t nBase = 0;  // the ELF header's address
    std::uint64_t nSize = 0;  // from the base to the end of the object's last mapping
    char szPath[512] = {};
    bool bHasVersion = false;  // our file-version note
    std::uint32_t version[4] = {};
    std::uint8_t buildId[32] = {};  // GNU build id, if any
    std::size_t nBuildIdSize = 0;
    std::int64_t nFileSize = -1;  // from stat; -1 when the file is gone
    std::int64_t nFileTime = 0;   // modification time, seconds since 1970
};

class mcProcessMaps {
public:
    static constexpr std::size_t kMaxModules = 384;

    // Reads the mappings once; false when /proc/self/maps cannot be read.
    bool Load();

    // Mapping that holds nAddress (readable or not); null when none.
    const msMapRegion* Find(std::uint64_t nAddress) const;
    // True when [nAddress, nAddress + nSize) lies in readable mappings.
    bool IsReadable(std::uint64_t nAddress, std::size_t nSize) const;
    // End of the run of adjacent mappings that holds nAddress (the top of a
    // thread's stack); 0 when unmapped.
    std::uint64_t RunEnd(std::uint64_t nAddress) const;
    // Total of all mappings, in bytes.
    std::uint64_t MappedBytes() const;

    // The loaded ELF objects: every file mapping at offset 0 whose memory
    // starts with a valid ELF header, with its notes read from memory.
    std::size_t ModuleCount() const { return m_nModules; }
    const msLoadedModule& Module(std::size_t i) const { return m_modules[i]; }
    // Module that holds nAddress; null when none.
    const msLoadedModule* FindModule(std::uint64_t nAddress) const;

private:
    void PrvAddRegion(const char* pLine, std::size_t nLength);
    void PrvCollectModules();
    void PrvReadNotes(msLoadedModule& module) const;

    static constexpr std::size_t kMaxRegions = 2048;
    msMapRegion m_regions[kMaxRegions];
    std::size_t m_nRegions = 0;
    msLoadedModule m_modules[kMaxModules];
    std::size_t m_nModules = 0;
};
