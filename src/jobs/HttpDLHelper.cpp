#include "jobs/HttpDLHelper.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/FileUtils.h"
#include "base/StrUtils.h"
#include "net/mcHttpGet.h"
#include "registry/mcCMUtils.h"

HttpDLHelper::HttpDLHelper() {
    m_options.dwConnectTimeout = kTimeoutMs;
    m_options.dwOpenTimeout = kTimeoutMs;
    m_options.dwTransferTimeout = kTimeoutMs;
    m_options.dwRequestFlags = kRequestFlags;
}

HttpDLHelper::~HttpDLHelper() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pHttpGet.reset();
    }
    CloseFile();
}

bool HttpDLHelper::OpenAndSendRequest(const std::string& strUrl) {
    m_options.strAgent = mcCMUtils::GetUserAgent();
    m_headers.Clear();
    m_result = mcHttpResult();
    m_vecBuffer.clear();
    mcHttpGet* pHttpGet = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pHttpGet.reset();
        m_pHttpGet = std::make_unique<mcHttpGet>(strUrl, nullptr, &m_vecBuffer, &m_options, &m_result,
                                                 nullptr, &m_headers, 0);
        if (m_bAborted) m_pHttpGet->Abort();
        pHttpGet = m_pHttpGet.get();
    }
    // Only this thread replaces or destroys the transaction, so it stays valid
    // here without the lock; Abort() takes the lock to reach it.
    return pHttpGet->RunHeadersOnly();
}

bool HttpDLHelper::ReadResponsePortion(std::size_t nMaxBytes, bool& bDone) {
    if (!m_pHttpGet) return false;
    return m_pHttpGet->ReadPortion(nMaxBytes, &bDone);
}

bool HttpDLHelper::OpenFile(const std::string& strPath, bool bAppend) {
    CloseFile();
    m_nWritten = 0;
    m_nFlushedTo = 0;
    const int nFlags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (bAppend ? O_APPEND : O_TRUNC);
    m_fd = ::open(strPath.c_str(), nFlags, 0666);
    if (m_fd < 0) {
        const std::string strFolder = mfStrGetDriveAndDirFromPath(strPath);
        if (!strFolder.empty() && mfCreateDirectories(strFolder)) {
            m_fd = ::open(strPath.c_str(), nFlags, 0666);
        }
    }
    return m_fd >= 0;
}

bool HttpDLHelper::WriteToFile() {
    if (m_fd < 0) return false;
    const std::uint8_t* pData = m_vecBuffer.data();
    std::size_t nLeft = m_vecBuffer.size();
    while (nLeft > 0) {
        const ssize_t n = ::write(m_fd, pData, nLeft);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        pData += n;
        nLeft -= static_cast<std::size_t>(n);
        m_nWritten += static_cast<std::uint64_t>(n);
    }
    // Start writing back what has piled up, without waiting for it: the
    // package is synced before it takes its name, and that sync then finds
    // little left to write instead of the whole package.
    constexpr std::uint64_t kWriteBackStep = 8u << 20;
    if (m_nWritten - m_nFlushedTo >= kWriteBackStep) {
        (void)::sync_file_range(m_fd, static_cast<off_t>(m_nFlushedTo), static_cast<off_t>(m_nWritten - m_nFlushedTo),
                                SYNC_FILE_RANGE_WRITE);
        m_nFlushedTo = m_nWritten;
    }
    return true;
}

bool HttpDLHelper::SyncFile() {
    if (m_fd < 0) return false;
    while (::fsync(m_fd) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool HttpDLHelper::CloseFile() {
    if (m_fd < 0) return true;
    const int fd = m_fd;
    m_fd = -1;
    // Linux releases the descriptor even when close reports an error, so it
    // is never retried.
    return ::close(fd) == 0;
}

void HttpDLHelper::Abort() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bAborted = true;
    if (m_pHttpGet) m_pHttpGet->Abort();
}
