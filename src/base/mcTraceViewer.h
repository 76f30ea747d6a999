#pragma once
// The receiving end of the diagnostic trace channel: binds the trace socket and
// reads the datagrams the sources send (layout in mcDiagTrace.h). Used by
// `kettrinctl trace` and by tests. One thread at a time.
#include <optional>
#include <string>

#include "base/mcDiagTrace.h"

class mcTraceViewer {
public:
    mcTraceViewer() = default;
    ~mcTraceViewer();  // Close()
    mcTraceViewer(const mcTraceViewer&) = delete;
    mcTraceViewer& operator=(const mcTraceViewer&) = delete;

    // Binds a datagram socket at path, creating missing parent folders (0755).
    // A socket file nobody listens on (left by a viewer that died) is removed
    // first. Returns false with *error set when path is another kind of file,
    // when another viewer is listening there, or when binding fails.
    bool Bind(const std::string& path, std::string* error);

    // The fd to poll for input (-1 when not bound).
    int Fd() const { return m_fd; }

    // The next well-formed datagram; waits at most timeoutMs (-1: no limit).
    // Malformed datagrams are skipped. Nothing on time-out, EINTR or when not
    // bound.
    std::optional<mcDiagTrace::Datagram> Receive(int timeoutMs);

    // Closes the socket and removes the socket file, unless another viewer has
    // replaced it in the meantime.
    void Close();

    // "SOURCE: line" for a line datagram, with control characters, C1 controls
    // and invalid UTF-8 replaced by '?' (a traced text cannot move the cursor,
    // forge another line or change the terminal). Register and unregister give
    // "SOURCE: [registered pid P id I]" / "SOURCE: [unregistered pid P id I]".
    static std::string FormatLine(const mcDiagTrace::Datagram& datagram);
    static std::string Printable(const std::string& text);

private:
    int m_fd = -1;
    std::string m_strPath;
    unsigned long m_nInode = 0;
    unsigned long m_nDevice = 0;
};
