#pragma once
// One package download as the download job drives it: an HTTP GET whose body
// is read in portions and written to a local file.
//
// Made on the stack of the job's worker thread for one download and used by
// that thread only, except Abort(), which any thread may call while the helper
// exists (the download job serialises it against the helper's lifetime).
//
// Ownership: the helper owns its transaction, the portion buffer, the response
// headers and the output file descriptor; destruction deletes the transaction
// and closes the file (without syncing it).
//
// Failures are results (false), never exceptions (apart from std::bad_alloc);
// the HTTP layer's own failures also go to its "HTTP" trace source.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/mcHttpHeaders.h"
#include "net/mcHttpResult.h"
#include "net/mcHttpTransactionOptions.h"

class mcHttpGet;

class HttpDLHelper {
public:
    // Request settings of every package download.
    static constexpr std::uint32_t kTimeoutMs = 30000;  // connect, open and transfer
    static constexpr std::uint32_t kRequestFlags = 0x84000000u;  // reload, no cache write

    HttpDLHelper();
    ~HttpDLHelper();
    HttpDLHelper(const HttpDLHelper&) = delete;
    HttpDLHelper& operator=(const HttpDLHelper&) = delete;

    // Replaces any earlier request with a GET of strUrl (time-outs kTimeoutMs,
    // flags kRequestFlags, mcCMUtils::GetUserAgent() as the User-Agent) and
    // runs it up to the response headers: request sent,
    // status 200-299, headers read. False on any failure, or when Abort() was
    // called before or during it.
    bool OpenAndSendRequest(const std::string& strUrl);

    // After OpenAndSendRequest: empties the buffer and fills it with at most
    // nMaxBytes of the body. Sets bDone, with the buffer empty, once the whole
    // body has been read. False on failure (also after Abort()).
    bool ReadResponsePortion(std::size_t nMaxBytes, bool& bDone);

    // The bytes of the last portion.
    const std::vector<std::uint8_t>& GetBuffer() const { return m_vecBuffer; }
    // Response headers of the last request (empty before one succeeded).
    const mcHttpHeaders& GetResponseHeaders() const { return m_headers; }
    // Result record of the last request.
    const mcHttpResult& GetResult() const { return m_result; }

    // Opens strPath for binary output (created with mode 0666 less the umask,
    // never through a symbolic link), appending when bAppend is set, else
    // truncating. When that fails, creates the folder chain of the file's folder
    // and tries once more. Closes a file opened earlier first. True when open.
    bool OpenFile(const std::string& strPath, bool bAppend);
    // Writes the buffer's bytes to the open file. False when no file is open
    // or the write failed.
    bool WriteToFile();
    // Flushes the file's data to the disk (fsync). False when no file is open
    // or the sync failed.
    bool SyncFile();
    // Closes the file if one is open. False when closing reported an error
    // (written data may be lost).
    bool CloseFile();
    bool IsFileOpen() const { return m_fd >= 0; }

    // Ends the request's current or next wait: the running or next
    // OpenAndSendRequest / ReadResponsePortion fails within moments. Sticky for
    // the helper's life. Any thread.
    void Abort();

private:
    std::unique_ptr<mcHttpGet> m_pHttpGet;
    std::vector<std::uint8_t> m_vecBuffer;
    mcHttpHeaders m_headers;
    mcHttpResult m_result;
    mcHttpTransactionOptions m_options;
    int m_fd = -1;
    // Bytes written since the file was opened, and where the last early
    // write-back ended (see WriteToFile).
    std::uint64_t m_nWritten = 0;
    std::uint64_t m_nFlushedTo = 0;
    // Guards m_pHttpGet against Abort() from another thread while the request
    // is replaced or destroyed; the worker holds it only for those moments.
    std::mutex m_mutex;
    bool m_bAborted = false;  // under m_mutex
};
