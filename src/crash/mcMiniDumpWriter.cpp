#include "crash/mcMiniDumpWriter.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "crash/mcCrashReportFile.h"
#include "crash/mcCrashText.h"
#include "crash/mcProcessMaps.h"

namespace {

constexpr std::uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr std::uint32_t kVersion = 0xA793;
constexpr std::uint32_t kThreadListStream = 3;
constexpr std::uint32_t kModuleListStream = 4;
constexpr std::uint32_t kMemoryListStream = 5;
constexpr std::uint32_t kExceptionStream = 6;
constexpr std::uint32_t kSystemInfoStream = 7;
constexpr std::uint32_t kMiscInfoStream = 15;
constexpr std::uint32_t kStreamCount = 6;
constexpr std::uint16_t kArchAmd64 = 9;
constexpr std::uint32_t kPlatformLinux = 0x8201;
constexpr std::uint32_t kContextAmd64 = 0x00100000;
constexpr std::uint32_t kContextControlIntegerSegments = kContextAmd64 | 0x1 | 0x2 | 0x4;
constexpr std::uint32_t kContextSize = 1232;
constexpr std::uint32_t kCodeViewElf = 0x4270454C;  // "BpEL"
constexpr std::size_t kStackBytes = 64 * 1024;
constexpr std::uint64_t kRedZone = 128;

}  // namespace

std::uint32_t mcMiniDumpWriter::PrvPut(const void* p, std::size_t n) {
    const std::uint32_t nAt = static_cast<std::uint32_t>(m_nSize);
    if (m_nSize + n > kCapacity) {
        m_bOverflow = true;
        return nAt;
    }
    if (p)
        std::memcpy(m_buffer + m_nSize, p, n);
    else
        std::memset(m_buffer + m_nSize, 0, n);
    m_nSize += n;
    return nAt;
}

std::uint32_t mcMiniDumpWriter::PrvPutU32(std::uint32_t n) {
    return PrvPut(&n, 4);
}

void mcMiniDumpWriter::PrvAlign() {
    while (m_nSize % 8 != 0 && !m_bOverflow) PrvPut(nullptr, 1);
}

void mcMiniDumpWriter::PrvPatchU32(std::uint32_t nAt, std::uint32_t n) {
    if (nAt + 4 <= m_nSize) std::memcpy(m_buffer + nAt, &n, 4);
}

std::uint32_t mcMiniDumpWriter::PrvPutString(const char* pszUtf8) {
    PrvAlign();
    const std::uint32_t nAt = PrvPutU32(0);
    std::uint32_t nBytes = 0;
    mfCrashUtf8ToUtf16(pszUtf8, mfCrashStrLen(pszUtf8), [&](char16_t c) {
        PrvPut(&c, 2);
        nBytes += 2;
    });
    const char16_t cNul = 0;
    PrvPut(&cNul, 2);
    PrvPatchU32(nAt, nBytes);
    return nAt;
}

std::uint32_t mcMiniDumpWriter::PrvPutContext(const ucontext_t* pContext) {
    PrvAlign();
    unsigned char context[kContextSize] = {};
    auto put16 = [&](std::size_t nOffset, std::uint16_t n) { std::memcpy(context + nOffset, &n, 2); };
    auto put32 = [&](std::size_t nOffset, std::uint32_t n) { std::memcpy(context + nOffset, &n, 4); };
    auto put64 = [&](std::size_t nOffset, std::uint64_t n) { std::memcpy(context + nOffset, &n, 8); };
    put32(48, kContextControlIntegerSegments);
    if (pContext) {
        const greg_t* g = pContext->uc_mcontext.gregs;
        const std::uint64_t nSegs = static_cast<std::uint64_t>(g[REG_CSGSFS]);
        put16(56, static_cast<std::uint16_t>(nSegs & 0xFFFF));          // cs
        put16(62, static_cast<std::uint16_t>((nSegs >> 32) & 0xFFFF));  // fs
        put16(64, static_cast<std::uint16_t>((nSegs >> 16) & 0xFFFF));  // gs
        put16(66, 0x2B);                                                // ss (user data)
        put32(68, static_cast<std::uint32_t>(g[REG_EFL]));
        const int regs[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                              REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};
        for (int i = 0; i < 16; ++i)
            put64(120 + 8 * static_cast<std::size_t>(i), static_cast<std::uint64_t>(g[regs[i]]));
        put64(248, static_cast<std::uint64_t>(g[REG_RIP]));
    }
    return PrvPut(context, sizeof context);
}

bool mcMiniDumpWriter::Write(const char* pszPath, const msMiniDumpException& exception, const mcProcessMaps& maps,
                             std::uint32_t nDumpType, const char* pszKernelRelease, std::uint32_t nProcessors) {
    m_nSize = 0;
    m_bOverflow = false;
    // Header and directory first; their locations are patched in below.
    PrvPutU32(kSignature);
    PrvPutU32(kVersion);
    PrvPutU32(kStreamCount);
    PrvPutU32(32);
    PrvPutU32(0);
    PrvPutU32(static_cast<std::uint32_t>(::time(nullptr)));
    const std::uint64_t nFlags = nDumpType;
    PrvPut(&nFlags, 8);
    const std::uint32_t nDirectory = PrvPut(nullptr, 12 * kStreamCount);
    std::uint32_t nEntry = 0;
    auto directory = [&](std::uint32_t nType, std::uint32_t nRva, std::uint32_t nBytes) {
        const std::uint32_t nAt = nDirectory + 12 * nEntry++;
        PrvPatchU32(nAt, nType);
        PrvPatchU32(nAt + 4, nBytes);
        PrvPatchU32(nAt + 8, nRva);
    };

    // System information.
    const std::uint32_t nCsd = PrvPutString(pszKernelRelease ? pszKernelRelease : "");
    PrvAlign();
    {
        unsigned char info[56] = {};
        std::memcpy(info, &kArchAmd64, 2);
        info[6] = static_cast<unsigned char>(nProcessors > 255 ? 255 : nProcessors);
        info[7] = 1;  // workstation
        std::uint32_t nMajor = 0, nMinor = 0, nBuild = 0;
        const char* p = pszKernelRelease ? pszKernelRelease : "";
        std::uint32_t* pNumbers[3] = {&nMajor, &nMinor, &nBuild};
        for (int k = 0; k < 3 && *p; ++k) {
            while (*p >= '0' && *p <= '9') *pNumbers[k] = *pNumbers[k] * 10 + static_cast<std::uint32_t>(*p++ - '0');
            if (*p == '.')
                ++p;
            else
                break;
        }
        std::memcpy(info + 8, &nMajor, 4);
        std::memcpy(info + 12, &nMinor, 4);
        std::memcpy(info + 16, &nBuild, 4);
        std::memcpy(info + 20, &kPlatformLinux, 4);
        std::memcpy(info + 24, &nCsd, 4);
        const std::uint32_t nAt = PrvPut(info, sizeof info);
        directory(kSystemInfoStream, nAt, sizeof info);
    }

    // Miscellaneous information: the process id.
    {
        const std::uint32_t misc[6] = {24, 1, static_cast<std::uint32_t>(::getpid()), 0, 0, 0};
        const std::uint32_t nAt = PrvPut(misc, sizeof misc);
        directory(kMiscInfoStream, nAt, sizeof misc);
    }

    // The faulting thread's context and stack.
    const std::uint32_t nContext = PrvPutContext(exception.pContext);
    std::uint64_t nStackStart = 0;
    std::uint64_t nStackSize = 0;
    if (exception.pContext) {
        const std::uint64_t nSp = static_cast<std::uint64_t>(exception.pContext->uc_mcontext.gregs[REG_RSP]);
        nStackStart = nSp > kRedZone ? nSp - kRedZone : nSp;
        if (!maps.IsReadable(nStackStart, 1)) nStackStart = nSp;
        const std::uint64_t nTop = maps.RunEnd(nStackStart);
        if (nTop > nStackStart && maps.IsReadable(nStackStart, 1)) {
            nStackSize = nTop - nStackStart;
            if (nStackSize > kStackBytes) nStackSize = kStackBytes;
            if (!maps.IsReadable(nStackStart, nStackSize)) nStackSize = 0;
        }
    }
    // The stack bytes go at the very end of the file; their place is known now.
    std::uint32_t nStackRvaPatch[2] = {};

    // Thread list: the faulting thread.
    PrvAlign();
    {
        const std::uint32_t nAt = PrvPutU32(1);
        PrvPutU32(static_cast<std::uint32_t>(exception.nThreadId));
        PrvPutU32(0);
        PrvPutU32(0);
        PrvPutU32(0);
        const std::uint64_t nTeb = 0;
        PrvPut(&nTeb, 8);
        PrvPut(&nStackStart, 8);
        PrvPutU32(static_cast<std::uint32_t>(nStackSize));
        nStackRvaPatch[0] = PrvPutU32(0);
        PrvPutU32(kContextSize);
        PrvPutU32(nContext);
        directory(kThreadListStream, nAt, 4 + 48);
    }
    // Memory list: the same stack.
    {
        const std::uint32_t nAt = PrvPutU32(1);
        PrvPut(&nStackStart, 8);
        PrvPutU32(static_cast<std::uint32_t>(nStackSize));
        nStackRvaPatch[1] = PrvPutU32(0);
        directory(kMemoryListStream, nAt, 4 + 16);
    }
    // Exception.
    PrvAlign();
    {
        const std::uint32_t nAt = PrvPutU32(static_cast<std::uint32_t>(exception.nThreadId));
        PrvPutU32(0);
        PrvPutU32(exception.nCode);
        PrvPutU32(exception.nFlags);
        const std::uint64_t nZero = 0;
        PrvPut(&nZero, 8);
        PrvPut(&exception.nAddress, 8);
        PrvPutU32(2);
        PrvPutU32(0);
        const std::uint64_t nReportCode = exception.nReportCode;
        PrvPut(&nReportCode, 8);
        PrvPut(&exception.nAddress, 8);
        PrvPut(nullptr, 13 * 8);
        PrvPutU32(kContextSize);
        PrvPutU32(nContext);
        directory(kExceptionStream, nAt, 168);
    }
    // Modules: names and code-view records first, then the list.
    const std::size_t nModules = maps.ModuleCount();
    std::uint32_t nNames[mcProcessMaps::kMaxModules] = {};
    std::uint32_t nCodeViews[mcProcessMaps::kMaxModules] = {};
    for (std::size_t i = 0; i < nModules; ++i) {
        const msLoadedModule& module = maps.Module(i);
        nNames[i] = PrvPutString(module.szPath);
        if (module.nBuildIdSize > 0) {
            PrvAlign();
            nCodeViews[i] = PrvPutU32(kCodeViewElf);
            PrvPut(module.buildId, module.nBuildIdSize);
        }
    }
    PrvAlign();
    {
        const std::uint32_t nAt = PrvPutU32(static_cast<std::uint32_t>(nModules));
        for (std::size_t i = 0; i < nModules; ++i) {
            const msLoadedModule& module = maps.Module(i);
            PrvPut(&module.nBase, 8);
            PrvPutU32(static_cast<std::uint32_t>(module.nSize));
            PrvPutU32(0);
            PrvPutU32(static_cast<std::uint32_t>(module.nFileTime));
            PrvPutU32(nNames[i]);
            // Fixed version information.
            const std::uint32_t nMs = module.bHasVersion ? (module.version[0] << 16) | (module.version[1] & 0xFFFF) : 0;
            const std::uint32_t nLs = module.bHasVersion ? (module.version[2] << 16) | (module.version[3] & 0xFFFF) : 0;
            const std::uint32_t fixed[13] = {
                module.bHasVersion ? 0xFEEF04BDu : 0u, 0x00010000, nMs, nLs, nMs, nLs, 0, 0, 0, 0, 0, 0, 0};
            PrvPut(fixed, sizeof fixed);
            PrvPutU32(module.nBuildIdSize > 0 ? static_cast<std::uint32_t>(4 + module.nBuildIdSize) : 0);
            PrvPutU32(nCodeViews[i]);
            PrvPut(nullptr, 8 + 16);  // misc record, reserved
        }
        directory(kModuleListStream, nAt, static_cast<std::uint32_t>(4 + 108 * nModules));
    }
    PrvAlign();
    const std::uint32_t nStackRva = static_cast<std::uint32_t>(m_nSize);
    PrvPatchU32(nStackRvaPatch[0], nStackRva);
    PrvPatchU32(nStackRvaPatch[1], nStackRva);
    if (m_bOverflow) return false;

    const int fd = ::open(pszPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool bOk = mfCrashWriteAll(fd, m_buffer, m_nSize);
    if (bOk && nStackSize > 0) bOk = mfCrashWriteAll(fd, reinterpret_cast<const void*>(nStackStart), nStackSize);
    bOk = ::fsync(fd) == 0 && bOk;
    ::close(fd);
    return bOk;
}
