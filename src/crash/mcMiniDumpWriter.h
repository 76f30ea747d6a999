#pragma once
// Writes a minidump ("MDMP") of this process for one faulting thread, in the
// standard layout that debuggers read: header and stream directory, system
// information (x86-64, Linux platform id, the kernel release as the service
// pack text), the exception (for a signal: the signal number as the code, as
// Linux minidumps carry it, the faulting address and the report's code as the
// first parameter), a thread list with the faulting thread's x86-64 context
// and stack memory, a memory list naming that stack, and the module list of
// the loaded ELF objects (name, base, size, file time, the file version note
// as the fixed version information, the GNU build id as an ELF code-view
// record).
//
// Threads: one at a time. Async-signal-safe: the file is built in a buffer
// inside the object and written with write().
#include <sys/types.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>

class mcProcessMaps;

struct msMiniDumpException {
    pid_t nThreadId = 0;
    std::uint32_t nCode = 0;     // signal number (0: none)
    std::uint32_t nFlags = 0;    // si_code
    std::uint64_t nAddress = 0;  // faulting address (or instruction address)
    std::uint32_t nReportCode = 0;
    const ucontext_t* pContext = nullptr;
};

class mcMiniDumpWriter {
public:
    // Flags of the header: the dump type ("MiniDumpType").
    bool Write(const char* pszPath, const msMiniDumpException& exception, const mcProcessMaps& maps,
               std::uint32_t nDumpType, const char* pszKernelRelease, std::uint32_t nProcessors);

private:
    std::uint32_t PrvPut(const void* p, std::size_t n);
    std::uint32_t PrvPutU32(std::uint32_t n);
    std::uint32_t PrvPutString(const char* pszUtf8);
    void PrvAlign();
    void PrvPatchU32(std::uint32_t nAt, std::uint32_t n);
    std::uint32_t PrvPutContext(const ucontext_t* pContext);

    static constexpr std::size_t kCapacity = 1u << 20;
    unsigned char m_buffer[kCapacity];
    std::size_t m_nSize = 0;
    bool m_bOverflow = false;
};
